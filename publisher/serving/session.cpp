#include "publisher/serving/session.h"

#include "core/printable.h"
#include "core/wire.h"
#include "net/message_header.h"
#include "net/session_messages.h"
#include "publisher/serving/error_codes.h"
#include "publisher/ops/event_log.h"
#include "publisher/prepared/message_layout.h"
#include "service/messages.h"

#include <algorithm>
#include <cstring>
#include <sys/random.h>

namespace publisher {
namespace {

// A hostile or broken peer gets this many logged complaints; then the connection is closed.
constexpr unsigned kMaxBadRequests = 16;
// Modules one connection may have queued for download at once (requests beyond are refused).
constexpr size_t kMaxQueuedModules = 100000;

// 16 printable characters from the system's random source.
std::string NewKeyText() {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789!$";
    uint8_t raw[16];
    size_t got = 0;
    while (got < sizeof raw) {
        ssize_t n = getrandom(raw + got, sizeof raw - got, 0);
        if (n > 0)
            got += size_t(n);
    }
    std::string text(16, ' ');
    for (size_t i = 0; i < 16; ++i)
        text[i] = kAlphabet[raw[i] % 64];
    return text;
}

// The service's log is ASCII: a name from the wire is cut and its other bytes replaced.
std::string LogName(std::string_view text) {
    return Printable(text, HighBytes::Replace, 64);
}

} // namespace

Session::Session(Role role, const ServiceSettings& settings, EventLog& log, std::string tag, Scratch& scratch)
    : role_(role), settings_(settings), log_(log), tag_(std::move(tag)), scratch_(scratch) {
    SetKey(fixedKey_, kFixedKeyText.data(), unsigned(kFixedKeyText.size()));
    // Until the link is authenticated, session-key packets use the all-zero key.
    SetKey(peerSendKey_, nullptr, 0);
    SetKey(ownSendKey_, nullptr, 0);
    if (role_ == Role::Download) {
        cache_ = settings.cache;
        prepared_ = settings.prepared;
    }
    if (settings.package)
        stream_.Forbid(settings.package->manifestDevice, settings.package->manifestInode);
}

Session::~Session() {
    // A download the connection ended before its last message: lost, dropped or refused midway.
    if (downloadOpen_)
        Count(&Metrics::downloadsFailed);
    DropRecording();
    CloseReplayFile();
}

void Session::Log(std::string_view kind, const std::string& text) {
    if (quiet_)
        return;
    log_.Limited(kind, kEventsPerSecond, tag_ + " " + text);
}

void Session::Complain(std::string_view kind, const std::string& text) {
    log_.Limited(kind, kComplaintsPerSecond, tag_ + " " + text);
}

void Session::Bad(const std::string& what) {
    Complain("bad request", "bad request: " + what);
    if (++badRequests_ >= kMaxBadRequests)
        Close("too many bad requests");
}

void Session::Close(const std::string& reason) {
    if (closing_)
        return;
    closing_ = true;
    closeReason_ = reason;
}

size_t Session::Receive(const uint8_t* data, size_t len) {
    size_t pos = 0;
    while (!closing_ && pos < len && !QueueFull()) {
        DecodeResult r = DecodePacket(data + pos, len - pos, fixedKey_, peerSendKey_, scratch_.decode);
        if (r.status == DecodeStatus::NeedMore)
            break;
        if (r.status == DecodeStatus::Drop) {
            // The stream cannot be resynchronised: drop what is buffered, as the installer does.
            Bad("dropped " + std::to_string(len - pos) + " bytes that are no valid packet");
            return len;
        }
        pos += r.consumed;
        HandleMessage(r.message, r.length);
    }
    return closing_ ? len : pos;
}

void Session::HandleMessage(const uint8_t* msg, size_t len) {
    const unsigned bad = badRequests_;
    Dispatch(msg, len);
    if (badRequests_ == bad)
        ++validRequests_;
}

void Session::Dispatch(const uint8_t* msg, size_t len) {
    if (len < MessageHeader::kSize) {
        Bad("message of " + std::to_string(len) + " bytes is shorter than a header");
        return;
    }
    uint16_t type = PeekMsgType(msg);
    switch (type) {
    case kMsgAuthentReq:
        return HandleAuthent(msg, len);
    case kMsgHeartbeatReq:
        return HandleHeartbeat();
    case kMsgLoginReq:
        if (role_ == Role::Check)
            return HandleLogin(msg, len);
        break;
    case messages::kPkgUpdateCheckReq:
        if (role_ == Role::Check)
            return HandleUpdateCheck(msg, len);
        break;
    case messages::kPkgModuleCheckReq:
        if (role_ == Role::Check)
            return HandleModuleCheck(msg, len);
        break;
    case messages::kFileDownloadReq:
        if (role_ == Role::Download)
            return HandleDownload(msg, len);
        break;
    default:
        break;
    }
    Bad("message type " + std::to_string(type) + " is not served here");
}

void Session::HandleAuthent(const uint8_t* msg, size_t len) {
    std::string_view credential;
    if (!ReadAuthentRequest(msg, len, credential)) {
        Bad("malformed authentication request");
        return;
    }
    uint8_t answer[kAuthentRspSize];
    if (settings_.test.refuseAuth) {
        BuildAuthentResponse(*settings_.test.refuseAuth, "", 0, "", answer);
        Queue(answer, sizeof answer);
        Count(&Metrics::authenticationsRefused);
        Complain("authentication refused",
                 "authentication refused by test switch with " + std::to_string(*settings_.test.refuseAuth));
        return;
    }
    if (credential != kCredential) {
        BuildAuthentResponse(kErrorBadCredential, "", 0, "", answer);
        Queue(answer, sizeof answer);
        Count(&Metrics::authenticationsRefused);
        Complain("authentication refused", "authentication refused: wrong credential");
        return;
    }
    std::string peerSend = NewKeyText();
    std::string ownSend = NewKeyText();
    // The installer sends with the key at offset 82 and receives with the one at offset 115. The answer
    // itself still travels under the keys it replaces.
    BuildAuthentResponse(0, peerSend, settings_.heartbeatSeconds, ownSend, answer);
    Queue(answer, sizeof answer);
    SetKey(peerSendKey_, peerSend.data(), unsigned(peerSend.size()));
    SetKey(ownSendKey_, ownSend.data(), unsigned(ownSend.size()));
    authenticated_ = true;
    loggedIn_ = false;
    Count(&Metrics::authenticationsAccepted);
    Log("authenticated", "authenticated");
}

void Session::HandleHeartbeat() {
    uint8_t answer[kHeartbeatRspSize];
    BuildHeartbeatResponse(answer);
    Queue(answer, sizeof answer);
}

void Session::HandleLogin(const uint8_t* msg, size_t len) {
    UserRecord user;
    if (!ReadLoginRequest(msg, len, user)) {
        Bad("malformed login request");
        return;
    }
    uint32_t error = 0;
    if (!authenticated_)
        error = kErrorNotAuthenticated;
    else if (settings_.test.refuseLogin)
        error = *settings_.test.refuseLogin;
    else if (!settings_.package->CheckUser(user.userName, user.password))
        error = kErrorBadLogin;
    loggedIn_ = error == 0;

    // The answer's record echoes the user name, never the password.
    UserRecord echo;
    echo.userName = user.userName;
    uint8_t body[UserRecord::kSize];
    echo.Encode(body);
    uint8_t answer[MessageHeader::kSize + UserRecord::kSize];
    size_t n = BuildLoginResponse(error, body, sizeof body, answer, sizeof answer);
    Queue(answer, n);
    if (loggedIn_ && settings_.test.closeAfterLogin && TakeTestCut(settings_.test))
        Close("test switch: closed after the login");
    if (loggedIn_)
        Log("login", "login of " + LogName(user.userName));
    else
        Complain("login refused",
                 "login of " + LogName(user.userName) + " refused with " + std::to_string(error));
}

void Session::HandleUpdateCheck(const uint8_t* msg, size_t len) {
    auto request = messages::DecodeUpdateCheckRequest(msg, len);
    if (!request) {
        Bad("malformed update check");
        return;
    }
    const Package& package = *settings_.package;
    messages::UpdateCheckResponse rsp;
    messages::UpdateOffer offer;
    offer.PackageNo = request->PackageNo;
    if (!loggedIn_) {
        rsp.ErrorCode = kErrorNotLoggedIn;
    } else if (settings_.test.offerNothing) {
        rsp.ErrorCode = *settings_.test.offerNothing;
    } else if (request->PackageNo != package.packageNo) {
        rsp.ErrorCode = kErrorUnknownPackage;
    } else {
        Endpoint server = settings_.rotation->Next();
        offer.VerPart3 = package.verPart3;
        offer.VerPart4 = package.verPart4;
        offer.DownloadAddress = server.address;
        offer.DownloadPort = server.port;
        offer.Available = 1;
    }
    rsp.Offers.push_back(offer);
    Queue(messages::EncodeUpdateCheckResponse(rsp));
    Count(&Metrics::updateChecks);
    std::string asked = "update check for " + LogName(request->PackageNo) + " at " +
                        std::to_string(request->VerPart3) + "." + std::to_string(request->VerPart4);
    if (offer.Available)
        Log("update check", asked + ": offered " + std::to_string(offer.VerPart3) + "." +
                                std::to_string(offer.VerPart4) + " from " + offer.DownloadAddress + ":" +
                                std::to_string(offer.DownloadPort));
    else
        Log("update check", asked + ": nothing offered, error " + std::to_string(rsp.ErrorCode));
}

void Session::HandleModuleCheck(const uint8_t* msg, size_t len) {
    auto request = messages::DecodeModuleCheckRequest(msg, len);
    if (!request) {
        Bad("malformed module check");
        return;
    }
    const Package& package = *settings_.package;
    uint32_t error = 0;
    if (!loggedIn_)
        error = kErrorNotLoggedIn;
    else if (request->PackageNo != package.packageNo || request->VerPart3 != package.verPart3 ||
             request->VerPart4 != package.verPart4)
        error = kErrorUnknownPackage;
    Count(&Metrics::moduleChecks);
    if (error != 0) {
        messages::ModuleCheckResponse rsp;
        rsp.ErrorCode = error;
        Queue(messages::EncodeModuleCheckResponse(rsp));
        Complain("module check refused", "module check for " + LogName(request->PackageNo) +
                                             " refused with " + std::to_string(error));
        return;
    }
    size_t batch = ModulesPerMessage();
    if (settings_.moduleBatch != 0)
        batch = std::min(batch, settings_.moduleBatch);
    size_t total = package.modules.size();
    size_t messagesSent = 0;
    size_t i = 0;
    do {
        messages::ModuleCheckResponse rsp;
        size_t end = std::min(total, i + batch);
        for (; i < end; ++i)
            rsp.Modules.push_back(package.modules[i].record);
        rsp.LastFlag = i == total ? '0' : '1';
        Queue(messages::EncodeModuleCheckResponse(rsp));
        ++messagesSent;
    } while (i < total);
    moduleListSent_ = true;
    Log("module check", "module check: " + std::to_string(total) + " modules in " +
                            std::to_string(messagesSent) + " messages");
}

void Session::HandleDownload(const uint8_t* msg, size_t len) {
    auto items = messages::DecodeFileDownloadRequest(msg, len);
    if (!items) {
        Bad("malformed download request");
        return;
    }
    auto refuse = [&](uint32_t error, const std::string& why) {
        auto rsp = messages::EncodeFileDownloadResponse({}, messages::kDownloadRspSize);
        if (rsp) {
            wire::StoreU32(rsp->data() + MessageHeader::kErrorCodeOffset, error);
            Queue(*rsp);
        }
        Complain("download refused", "download refused: " + why);
        // An installer would wait forever for modules that never come; a close makes it report a failure.
        Close("download refused");
    };
    if (!authenticated_)
        return refuse(kErrorNotAuthenticated, "link not authenticated");
    const Package& package = *settings_.package;
    std::vector<const PackageModule*> wanted;
    size_t repeated = 0;
    for (const auto& item : *items) {
        const PackageModule* module = package.FindModule(item.ModuleName);
        if (!module || item.PackageNo != package.packageNo || item.ModuleVerA != module->record.ModuleVerA ||
            item.ModuleVerB != module->record.ModuleVerB)
            return refuse(kErrorUnknownModule, "no module " + LogName(item.ModuleName) + " " +
                                                   std::to_string(item.ModuleVerA) + "_" +
                                                   std::to_string(item.ModuleVerB) + " in package " +
                                                   LogName(item.PackageNo));
        // Once per request and once per connection: a request naming one module a thousand times
        // must not cost a thousand sends.
        if (std::find(wanted.begin(), wanted.end(), module) != wanted.end() || stream_.Holds(module))
            ++repeated;
        else
            wanted.push_back(module);
    }
    if (stream_.Queued() + wanted.size() > kMaxQueuedModules)
        return refuse(kErrorTooManyModules,
                      "more than " + std::to_string(kMaxQueuedModules) + " modules queued");

    if (wanted.empty() && repeated == 0) {
        // Nothing to send, but the installer finishes only when an answer arrives.
        auto rsp = messages::EncodeFileDownloadResponse({}, messages::kDownloadRspSize);
        if (rsp)
            Queue(*rsp);
        Log("download", "download of 0 modules");
        return;
    }
    if (wanted.empty()) {
        Log("download", "download of " + std::to_string(repeated) + " modules already on their way");
        return;
    }
    if (!stream_.Active()) {
        streamStartBytes_ = bytesCounted_ = stream_.BytesRead();
        downloadOpen_ = true;
        Count(&Metrics::downloadsStarted);
    }
    for (const PackageModule* m : wanted)
        stream_.Enqueue(m);
    hostilePending_ = settings_.test.hostileRelDir;
    Log("download", "download of " + std::to_string(wanted.size()) + " modules" +
                        (repeated != 0 ? " (" + std::to_string(repeated) + " repeated ones sent once)" : ""));
}

bool Session::PopQueued(std::vector<uint8_t>& packet) {
    if (queue_.empty())
        return false;
    packet = std::move(queue_.front());
    queue_.pop_front();
    queuedBytes_ -= packet.size();
    return true;
}

bool Session::NextPacket(std::vector<uint8_t>& packet) {
    if (PopQueued(packet))
        return true;
    if (closing_ || !stream_.Active())
        return false;
    // A download that fails leaves its error answer queued, to go out before the close.
    return BuildDownloadMessage(packet) || PopQueued(packet);
}

size_t Session::Encode(const uint8_t* msg, size_t len, uint8_t* packet) {
    if (settings_.test.garbage) {
        // Starts with a byte other than the magic: every receiver must drop it.
        static constexpr char kGarbage[] = "garbage: this is not a packet, a receiver must drop it whole.";
        std::memcpy(packet, kGarbage, sizeof kGarbage - 1);
        return sizeof kGarbage - 1;
    }
    if (authenticated_)
        return EncodePacket(msg, len, '6', ownSendKey_, packet, scratch_.encode);
    return EncodePacket(msg, len, '4', fixedKey_, packet, scratch_.encode);
}

void Session::Queue(const uint8_t* msg, size_t len) {
    size_t n = Encode(msg, len, scratch_.packet);
    if (n == 0) {
        Complain("encoding", "answer of " + std::to_string(len) + " bytes could not be encoded");
        Close("encoding failed");
        return;
    }
    queue_.emplace_back(scratch_.packet, scratch_.packet + n);
    queuedBytes_ += n;
}

} // namespace publisher
