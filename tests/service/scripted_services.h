// Scripted services shared by the download tests: a check service offering modules from a download
// service that runs a test's script, and the helpers that build their answers.
#pragma once

#include "client_harness.h"
#include "scripted_peer.h"

#include "service/messages.h"

#include <cstdint>
#include <utility>
#include <vector>

inline std::vector<uint8_t> Bytes(size_t n, uint8_t seed) {
    std::vector<uint8_t> out(n);
    for (size_t i = 0; i < n; ++i)
        out[i] = uint8_t(seed + i * 7);
    return out;
}

// A check service offering `modules` for download from `dlPort`, and a download service running
// `script`; the harness connects the download client as the dialog would.
struct Services {
    Services(std::vector<ModuleRecord> modules, ScriptedPeer::Script script)
        : download(std::move(script)),
          check([this, modules](ScriptedPeer& p, const std::vector<uint8_t>& req) {
              uint16_t type = messages::PeekType(req.data(), req.size());
              if (type == messages::kPkgUpdateCheckReq) {
                  messages::UpdateCheckResponse rsp;
                  rsp.Offers.push_back({"000185", 4, 17, "127.0.0.1", download.port(), 1});
                  p.Reply(messages::EncodeUpdateCheckResponse(rsp));
              } else if (type == messages::kPkgModuleCheckReq) {
                  messages::ModuleCheckResponse rsp;
                  rsp.Modules = modules;
                  p.Reply(messages::EncodeModuleCheckResponse(rsp));
              }
          }) {}
    ScriptedPeer download;
    ScriptedPeer check;
};

// Answers the download request with the given response messages.
inline ScriptedPeer::Script Answer(std::vector<std::vector<messages::FileChunk>> messages,
                                   bool closeAfter = false) {
    return [messages, closeAfter](ScriptedPeer& p, const std::vector<uint8_t>&) {
        for (const auto& m : messages)
            p.Reply(*messages::EncodeFileDownloadResponse(m));
        if (closeAfter)
            p.CloseConnection();
    };
}

inline bool Start(ClientHarness& h, Services& s) {
    return h.check.SetServer("127.0.0.1", s.check.port()) && h.check.Connect();
}
