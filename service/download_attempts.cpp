#include "service/download_attempts.h"

#include "core/install_log.h"
#include "core/install_settings.h"
#include "core/module_list.h"
#include "service/local_fs.h"
#include "service/notify.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>

namespace {

constexpr std::string_view kTag = "DownloadAttempts";

} // namespace

DownloadAttempts::DownloadAttempts(Setup setup) : setup_(std::move(setup)), backoff_(setup_.spread) {}

DownloadAttempts::~DownloadAttempts() {
    ReleaseClients();
}

TimerClock& DownloadAttempts::clock() const {
    return setup_.clock != nullptr ? *setup_.clock : SteadyTimerClock();
}

std::string DownloadAttempts::AttemptText() const {
    return "Attempt " + std::to_string(attempt_);
}

DownloadAttempts::Event DownloadAttempts::Start() {
    if (phase_ != Phase::kReady)
        return Event::kNone;
    return BeginAttempt();
}

DownloadAttempts::Event DownloadAttempts::BeginAttempt() {
    // The last attempt's connections were closed when it ended; its threads and buffers go now.
    ReleaseClients();
    ++attempt_;
    phase_ = Phase::kChecking;
    moduleThisAttempt_ = false;
    checkConnected_ = false;
    takenFromDl_ = 0;
    LogEvent(kTag, AttemptText());
    GetModuleList().clear(); // filled again by this attempt's module check
    check_ = std::make_unique<ProcessCheck>();
    check_->SetAttempt(attempt_);
    if (setup_.onNewClient)
        setup_.onNewClient(*check_);
    check_->SetServer(setup_.address.c_str(), setup_.port);
    if (!check_->Connect()) {
        LogEvent("OnButtonClick", "Connect Faile");
        return Fault("check connect");
    }
    checkConnected_ = true;
    LogEvent("OnButtonClick", "Connect Success");
    return Event::kProgress;
}

DownloadAttempts::Event DownloadAttempts::OnNotify(uint32_t message, uintptr_t attempt, intptr_t lParam) {
    if (stopping_ || attempt != attempt_ || (phase_ != Phase::kChecking && phase_ != Phase::kDownloading)) {
        // A loss report of an attempt that is over was expected: that attempt closed its connections.
        if (message != kNotifyCheckLost && message != kNotifyDLLost)
            LogEvent(kTag, "Late message " + std::to_string(message - kWmUser) + " of attempt " +
                               std::to_string(attempt) + " ignored");
        return Event::kNone;
    }
    switch (message) {
    case kNotifyCheckAuthRefused:
    case kNotifyLoginRefused:
        return Final(message, 0);
    case kNotifyNothingOffered:
        return Final(message, int32_t(lParam));
    case kNotifyModuleListDone:
        return phase_ == Phase::kChecking ? OnModuleDL() : Event::kNone;
    case kNotifyDLAuthentLink:
        if (phase_ != Phase::kDownloading)
            return Event::kNone;
        return lParam != 0 ? Final(message, int32_t(lParam)) : RequestModules();
    case kNotifyFileDone:
        TakeModules();
        return Event::kProgress;
    case kNotifyDownloadDone:
        TakeModules();
        StopClients();
        phase_ = Phase::kDone;
        LogEvent(kTag, AttemptText() + " complete");
        return Event::kDone;
    case kNotifyDLLost:
        return ClientFailed(dl_.get(), message,
                            dlConnecting_ ? "download connect" : "download connection lost");
    case kNotifyCheckLost:
        // A failed connect was taken as it happened.
        if (!checkConnected_)
            return Event::kNone;
        return ClientFailed(check_.get(), message, "check connection lost");
    default:
        return Event::kNone;
    }
}

DownloadAttempts::Event DownloadAttempts::OnModuleDL() {
    const InstallSettings& settings = GetInstallSettings();
    const ModuleList& list = GetModuleList();
    Offer offer{settings.NewVerPart3, settings.NewVerPart4, {}};
    for (const ModuleRecord& m : list) {
        char versions[40];
        std::snprintf(versions, sizeof versions, " %u.%u %c", unsigned(m.ModuleVerA), unsigned(m.ModuleVerB),
                      m.State != 0 ? m.State : ' ');
        offer.modules.push_back(std::string(m.Name()) + versions);
    }
    if (offer_ && !(*offer_ == offer)) {
        // What was received, whole or cut off, belongs to another version: none of it may be mixed
        // into this one.
        LogEvent(kTag, AttemptText() + " offer changed: the download starts over");
        if (!LocalEmptyFolderExcept(settings.TempDir, "log")) {
            LogEvent(kTag, "Empty " + LocalPathText({settings.TempDir, ""}) + " Faile");
            return Final(kNotifyDLLost, 0);
        }
        whole_.clear();
        merged_.clear();
    }
    offer_ = std::move(offer);
    modulesTotal_ = int(list.size());

    bool missing = false;
    for (const ModuleRecord& m : list)
        missing = missing || (m.State != 'D' && whole_.count(std::string(m.Name())) == 0);
    if (!missing && !whole_.empty()) {
        // Every module arrived before the last attempt failed: nothing is left to ask for.
        StopClients();
        phase_ = Phase::kDone;
        LogEvent(kTag, AttemptText() + " has every module");
        return Event::kDone;
    }

    if (setup_.beforeDownload)
        setup_.beforeDownload();
    phase_ = Phase::kDownloading;
    dl_ = std::make_unique<ProcessDL>();
    dl_->SetAttempt(attempt_);
    if (setup_.onNewClient)
        setup_.onNewClient(*dl_);
    // The address came off the wire: never read past its field, terminated or not.
    const std::string address(settings.DownloadAddress,
                              strnlen(settings.DownloadAddress, sizeof settings.DownloadAddress));
    const uintptr_t attempt = attempt_;
    const bool set = dl_->SetServer(address.c_str(), settings.DownloadPort);
    // A connect that fails reports the loss before it returns, through OnNotify: the attempt is then over.
    dlConnecting_ = true;
    const bool connected = set && dl_->Connect();
    dlConnecting_ = false;
    LogEvent("OnModuleDL", "Connect");
    if (attempt != attempt_ || phase_ != Phase::kDownloading)
        return phase_ == Phase::kWaiting  ? Event::kWaiting
               : phase_ == Phase::kFailed ? Event::kFailed
                                          : Event::kNone;
    if (!connected)
        return Fault("download connect");
    return Event::kProgress;
}

DownloadAttempts::Event DownloadAttempts::RequestModules() {
    modulesTotal_ = int(GetModuleList().size());
    std::string names;
    int asked = 0;
    for (const ModuleRecord& m : GetModuleList()) {
        if (m.State == 'D' || whole_.count(std::string(m.Name())) != 0)
            continue;
        if (asked++ != 0)
            names += ',';
        names += m.Name();
    }
    LogEvent(kTag, AttemptText() + " requests " + std::to_string(asked) + " modules: " + names);
    dl_->DownloadModule(whole_);
    return Event::kProgress;
}

void DownloadAttempts::TakeModules() {
    if (!dl_)
        return;
    for (ReceivedModule& module : dl_->ReceivedModules(takenFromDl_)) {
        ++takenFromDl_;
        moduleThisAttempt_ = true;
        if (whole_.insert(module.name).second)
            merged_.push_back(std::move(module));
    }
}

DownloadAttempts::Event DownloadAttempts::ClientFailed(const ProcessClient* client, uint32_t message,
                                                       const std::string& what) {
    TakeModules(); // what arrived whole before the loss counts, whether its message came yet or not
    if (client != nullptr && client->fault() == ProcessClient::Fault::kFinal) {
        LogEvent(kTag, AttemptText() + " " + what + ", not to be retried Faile");
        return Final(message, 0);
    }
    return Fault(what);
}

DownloadAttempts::Event DownloadAttempts::Fault(const std::string& what) {
    StopClients();
    // An attempt that brought a module whole was worth it: the count and the back-off start again.
    failedInARow_ = moduleThisAttempt_ ? 0 : failedInARow_ + 1;
    LogEvent(kTag, AttemptText() + " " + what + " Faile");
    if (failedInARow_ >= kMaxFailedInARow) {
        LogEvent(kTag, "Gave up after " + std::to_string(failedInARow_) + " attempts without a module Faile");
        return Final(0, 0);
    }
    const auto wait = backoff_.Wait(std::max(1, failedInARow_));
    nextAt_ = clock().Now() + wait;
    phase_ = Phase::kWaiting;
    char text[64];
    std::snprintf(text, sizeof text, "Retry in %.1f s", double(wait.count()) / 1000);
    LogEvent(kTag, text);
    return Event::kWaiting;
}

DownloadAttempts::Event DownloadAttempts::Final(uint32_t message, int32_t code) {
    StopClients();
    phase_ = Phase::kFailed;
    failMessage_ = message;
    failCode_ = code;
    return Event::kFailed;
}

DownloadAttempts::Event DownloadAttempts::Tick() {
    if (phase_ != Phase::kWaiting || clock().Now() < nextAt_)
        return Event::kNone;
    return BeginAttempt();
}

void DownloadAttempts::Cancel() {
    StopClients();
    if (phase_ == Phase::kDone || phase_ == Phase::kFailed)
        return;
    if (phase_ != Phase::kReady)
        LogEvent(kTag, AttemptText() + " cancelled");
    phase_ = Phase::kFailed;
}

std::chrono::milliseconds DownloadAttempts::WaitLeft() const {
    if (phase_ != Phase::kWaiting)
        return std::chrono::milliseconds(0);
    const auto left = nextAt_ - clock().Now();
    return std::max(std::chrono::milliseconds(0), std::chrono::ceil<std::chrono::milliseconds>(left));
}

int DownloadAttempts::SecondsLeft() const {
    return int((WaitLeft().count() + 999) / 1000);
}

std::vector<ReceivedFile> DownloadAttempts::ReceivedFiles() const {
    std::vector<ReceivedFile> files;
    std::map<std::string, size_t> at;
    for (const ReceivedModule& module : merged_) {
        for (const ReceivedFile& file : module.files) {
            auto [it, added] = at.emplace(file.path, files.size());
            if (added)
                files.push_back(file);
            else
                files[it->second] = file;
        }
    }
    return files;
}

void DownloadAttempts::StopClients() {
    // A client whose connection is open reports its loss as Stop closes it, on this thread: expected,
    // and no fault of the attempt.
    const bool nested = stopping_;
    stopping_ = true;
    // The download first, as the dialog always closed them: its loss report is sent, not posted.
    if (dl_)
        dl_->Stop();
    if (check_)
        check_->Stop();
    stopping_ = nested;
    if (dl_)
        stopped_.push_back(std::move(dl_));
    if (check_)
        stopped_.push_back(std::move(check_));
}

void DownloadAttempts::ReleaseClients() {
    StopClients();
    stopped_.clear();
}
