#include "service/process_check.h"

#include "app/install_log.h"
#include "app/install_settings.h"
#include "app/module_list.h"
#include "net/packet_io.h"
#include "service/messages.h"
#include "service/notify.h"

#include <cstring>
#include <string>

namespace {

// Every publishing request goes out as one type '6' packet under the session's send key.
void SendRequest(ProcessClient& client, const std::vector<uint8_t>& request) {
    if (client.context)
        SendPacket(*client.context, request.data(), int32_t(request.size()), '6');
}

// The package number is sent from a 10-byte buffer: at most 9 characters.
std::string RequestPackageNo() {
    return GetInstallSettings().PackageNo.substr(0, 9);
}

} // namespace

ProcessCheck::~ProcessCheck() {
    // No event may reach this object while its members go.
    watchdog_.Stop();
    Shutdown();
}

bool ProcessCheck::Connect() {
    watchdog_.Arm(); // before: the answer may arrive before Connect returns
    bool connected = ProcessClient::Connect();
    if (!connected)
        watchdog_.Disarm();
    return connected;
}

void ProcessCheck::OnSilence() {
    WriteLog("ProcessCheck\xa3\xba"
             "No answer Faile");
    Stop();
}

void ProcessCheck::QryCheckUpdate() {
    const InstallSettings& s = GetInstallSettings();
    auto request = messages::EncodeUpdateCheckRequest({RequestPackageNo(), s.CurVerPart3, s.CurVerPart4});
    SendRequest(*this, request);
    WriteLog("ProcessCheck\xa3\xba"
             "QryCheckUpdate");
}

void ProcessCheck::QryCheckModule() {
    const InstallSettings& s = GetInstallSettings();
    auto request =
        messages::EncodeModuleCheckRequest({'P', RequestPackageNo(), s.NewVerPart3, s.NewVerPart4});
    SendRequest(*this, request);
    WriteLog("ProcessCheck\xa3\xba"
             "QryCheckModule");
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
    auto rsp = messages::DecodeUpdateCheckResponse(msg, len);
    if (!rsp) {
        DropMalformed("ZynPublish_L_PkgUpdateCheck_Rsp");
        return;
    }
    watchdog_.Disarm(); // re-armed below by each module check sent
    // An answer without records would otherwise leave the interface waiting in Updating: report it as
    // nothing on offer, with the service's error code.
    if (rsp->Offers.empty()) {
        PostNotify(kNotifyNothingOffered, intptr_t(int32_t(rsp->ErrorCode)));
        WriteLog("ProcessCheck\xa3\xba"
                 "ZynPublish_L_PkgUpdateCheck_Rsp");
        return;
    }
    for (const messages::UpdateOffer& offer : rsp->Offers) {
        InstallSettings& s = GetInstallSettings();
        std::memset(s.DownloadAddress, 0, sizeof s.DownloadAddress);
        std::memcpy(s.DownloadAddress, offer.DownloadAddress.data(),
                    std::min(offer.DownloadAddress.size(), sizeof s.DownloadAddress - 1));
        s.DownloadPort = offer.DownloadPort;
        s.NewVerPart3 = offer.VerPart3;
        s.NewVerPart4 = offer.VerPart4;
        if (offer.Available != 0) {
            watchdog_.Arm();
            QryCheckModule();
        } else {
            PostNotify(kNotifyNothingOffered, intptr_t(int32_t(rsp->ErrorCode)));
            WriteLog("ProcessCheck\xa3\xba"
                     "ZynPublish_L_PkgUpdateCheck_Rsp");
        }
    }
}

void ProcessCheck::OnModuleCheck(const uint8_t* msg, size_t len) {
    auto rsp = messages::DecodeModuleCheckResponse(msg, len);
    if (!rsp) {
        DropMalformed("ZynPublish_L_PkgModuleCheck_Rsp");
        return;
    }
    if (rsp->LastFlag == '0')
        watchdog_.Disarm(); // the exchange is over; the connection idles from here
    else
        watchdog_.Arm(); // more of the reply is due
    ModuleList& list = GetModuleList();
    list.insert(list.end(), rsp->Modules.begin(), rsp->Modules.end());
    if (rsp->LastFlag == '0') {
        PostNotify(kNotifyModuleListDone, 0); // after the appends: the interface reads the list on it
        WriteLog("ProcessCheck\xa3\xba"
                 "ZynPublish_L_PkgModuleCheck_Rsp");
    }
}

void ProcessCheck::DropMalformed(const char* what) {
    watchdog_.Disarm();
    WriteLog(std::string("ProcessCheck\xa3\xba"
                         "Malformed ") +
             what + " Faile");
    Stop();
}

void ProcessCheck::OnClientDisconnect(const char*, int) {
    watchdog_.Disarm();
    PostNotify(kNotifyCheckLost, 0);
    WriteLog("ProcessCheck\xa3\xba"
             "OnClientDisconnect Faile");
}

void ProcessCheck::OnLogin(uint32_t error, const uint8_t*, size_t) {
    if (error != 0) {
        watchdog_.Disarm();
        PostNotify(kNotifyLoginRefused, 0);
        WriteLog("ProcessCheck_OnLogin\xa3\xba"
                 "Connect Faile");
        return;
    }
    watchdog_.Arm();
    QryCheckUpdate();
}

void ProcessCheck::OnAuthentLink(uint32_t error) {
    if (error == 0) {
        watchdog_.Arm();
        protocol->SendLogin(context.get());
        return;
    }
    watchdog_.Disarm();
    PostNotify(kNotifyCheckAuthRefused, 0);
    WriteLog("ProcessCheck\xa3\xba"
             "OnAuthentLink Faile");
}
