#include "service/process_check.h"

#include "core/install_log.h"
#include "core/install_settings.h"
#include "core/module_list.h"
#include "service/messages.h"
#include "service/notify.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace {

// The tag of this client's log lines.
constexpr std::string_view kTag = "ProcessCheck";

// The package number is sent from a 10-byte buffer: at most 9 characters.
std::string RequestPackageNo() {
    return GetInstallSettings().PackageNo.substr(0, 9);
}

void StoreOffer(const messages::UpdateOffer& offer) {
    InstallSettings& s = GetInstallSettings();
    std::memset(s.DownloadAddress, 0, sizeof s.DownloadAddress);
    std::memcpy(s.DownloadAddress, offer.DownloadAddress.data(),
                std::min(offer.DownloadAddress.size(), sizeof s.DownloadAddress - 1));
    s.DownloadPort = offer.DownloadPort;
    s.NewVerPart3 = offer.VerPart3;
    s.NewVerPart4 = offer.VerPart4;
}

} // namespace

ProcessCheck::~ProcessCheck() {
    // No event may reach this object while its members go.
    Shutdown();
}

void ProcessCheck::OnSilence() {
    Fail(LogEventText(kTag, "No answer Faile"), SilenceFault());
}

void ProcessCheck::QryCheckUpdate() {
    const InstallSettings& s = GetInstallSettings();
    SendRequest(messages::EncodeUpdateCheckRequest({RequestPackageNo(), s.CurVerPart3, s.CurVerPart4}));
    LogEvent(kTag, "QryCheckUpdate");
}

void ProcessCheck::QryCheckModule() {
    const InstallSettings& s = GetInstallSettings();
    SendRequest(messages::EncodeModuleCheckRequest({'P', RequestPackageNo(), s.NewVerPart3, s.NewVerPart4}));
    LogEvent(kTag, "QryCheckModule");
}

void ProcessCheck::OnMessage(const uint8_t* msg, size_t len) {
    switch (messages::PeekType(msg, len)) {
    case messages::kPkgUpdateCheckRsp:
        OnUpdateCheck(msg, len);
        break;
    case messages::kPkgModuleCheckRsp:
        OnModuleCheck(msg, len);
        break;
    default:
        break; // not ours
    }
}

void ProcessCheck::OnUpdateCheck(const uint8_t* msg, size_t len) {
    if (Ended()) {
        // InstallSettings may be in the interface's hands by now.
        LogEvent(kTag, "Late ZynPublish_L_PkgUpdateCheck_Rsp ignored");
        return;
    }
    auto rsp = messages::DecodeUpdateCheckResponse(msg, len);
    if (!rsp) {
        Fail(LogEventText(kTag, "Malformed ZynPublish_L_PkgUpdateCheck_Rsp Faile"));
        return;
    }
    watchdog_.Disarm(); // re-armed below by each module check sent
    // An answer without records would otherwise leave the interface waiting in Updating: report it as
    // nothing on offer, with the service's error code.
    if (rsp->Offers.empty()) {
        {
            auto run = run_.Lock();
            if (!run.Claim(RunState::Outcome::kFailed))
                return;
            NotifyNothingOffered(rsp->ErrorCode, attempt_);
        }
        LogEvent(kTag, "ZynPublish_L_PkgUpdateCheck_Rsp");
        return;
    }
    for (const messages::UpdateOffer& offer : rsp->Offers) {
        bool ask = false;
        {
            auto run = run_.Lock();
            if (run.ended())
                return;
            StoreOffer(offer);
            if (offer.Available != 0) {
                ask = true;
                watchdog_.Arm();
            } else if (run.Claim(RunState::Outcome::kFailed)) {
                NotifyNothingOffered(rsp->ErrorCode, attempt_);
            } else {
                continue;
            }
        }
        if (ask)
            QryCheckModule();
        else
            LogEvent(kTag, "ZynPublish_L_PkgUpdateCheck_Rsp");
    }
}

void ProcessCheck::OnModuleCheck(const uint8_t* msg, size_t len) {
    if (Ended()) {
        // The list is complete (or the run failed): a second offer's answer changes nothing.
        LogEvent(kTag, "Late ZynPublish_L_PkgModuleCheck_Rsp ignored");
        return;
    }
    auto rsp = messages::DecodeModuleCheckResponse(msg, len);
    if (!rsp) {
        Fail(LogEventText(kTag, "Malformed ZynPublish_L_PkgModuleCheck_Rsp Faile"));
        return;
    }
    // An answer with an error code carries no list: taken as a complete one, an empty list would
    // replace a working installation with an almost empty one. A package that is not on offer is the
    // service's final word; any other code may pass with another attempt.
    if (rsp->ErrorCode != 0) {
        const std::string code = std::to_string(rsp->ErrorCode);
        if (rsp->ErrorCode == messages::kErrorPackageNotOffered) {
            watchdog_.Disarm();
            {
                auto run = run_.Lock();
                if (!run.Claim(RunState::Outcome::kFailed))
                    return;
                NotifyNothingOffered(rsp->ErrorCode, attempt_);
            }
            LogEvent(kTag, "ZynPublish_L_PkgModuleCheck_Rsp ErrorCode " + code + " Faile");
            return;
        }
        Fail(LogEventText(kTag, "ZynPublish_L_PkgModuleCheck_Rsp ErrorCode " + code + " Faile"),
             Fault::kTransport);
        return;
    }
    enum { kLate, kTooMany, kMore, kComplete } step;
    {
        auto run = run_.Lock();
        if (run.ended()) {
            step = kLate;
        } else if (rsp->Modules.size() > kMaxModuleRecords - moduleRecords_) {
            run.End();
            step = kTooMany;
        } else {
            ModuleList& list = GetModuleList();
            list.insert(list.end(), rsp->Modules.begin(), rsp->Modules.end());
            moduleRecords_ += rsp->Modules.size();
            if (rsp->LastFlag == '0') {
                watchdog_.Disarm(); // the exchange is over; the connection idles from here
                run.Claim(RunState::Outcome::kComplete);
                NotifyModuleListDone(attempt_); // after the appends: the interface reads the list on it
                step = kComplete;
            } else {
                watchdog_.Arm(); // more of the reply is due
                step = kMore;
            }
        }
    }
    switch (step) {
    case kLate:
        LogEvent(kTag, "Late ZynPublish_L_PkgModuleCheck_Rsp ignored");
        break;
    case kTooMany:
        Fail(LogEventText(kTag, "More than 100000 module records Faile"));
        break;
    case kComplete:
        LogEvent(kTag, "ZynPublish_L_PkgModuleCheck_Rsp");
        break;
    case kMore:
        break;
    }
}

void ProcessCheck::OnClientDisconnect(const char*, int) {
    bool report;
    {
        auto run = run_.Lock();
        report = run.Claim(RunState::Outcome::kFailed);
        if (report)
            NotifyCheckLost(attempt_);
    }
    // Without a report the run already has its outcome: the list is complete, or a failure was told.
    LogEvent(kTag, report ? "OnClientDisconnect Faile" : "OnClientDisconnect after the end");
}

void ProcessCheck::OnLogin(uint32_t error, const uint8_t*, size_t) {
    if (error != 0) {
        watchdog_.Disarm();
        {
            auto run = run_.Lock();
            if (!run.Claim(RunState::Outcome::kFailed))
                return;
            NotifyLoginRefused(attempt_);
        }
        LogEvent("ProcessCheck_OnLogin", "Connect Faile");
        return;
    }
    if (Ended())
        return;
    watchdog_.Arm();
    QryCheckUpdate();
}

void ProcessCheck::OnAuthentLink(uint32_t error) {
    if (error == 0) {
        if (Ended())
            return;
        watchdog_.Arm();
        SendLogin();
        return;
    }
    watchdog_.Disarm();
    {
        auto run = run_.Lock();
        if (!run.Claim(RunState::Outcome::kFailed))
            return;
        NotifyCheckAuthRefused(attempt_);
    }
    LogEvent(kTag, "OnAuthentLink Faile");
}
