#include "tests/publisher/test_client.h"

#include "core/unique_file.h"
#include "net/message_header.h"
#include "net/session_messages.h"

#include <cstdio>
#include <poll.h>
#include <sys/socket.h>

namespace publisher::testing {
namespace fs = std::filesystem;

TestClient::TestClient()
    : socket_(io_), buffers_(std::make_unique<CodecBuffers>()), packet_(kPacketAreaSize) {
    SetKey(fixedKey_, kFixedKeyText.data(), unsigned(kFixedKeyText.size()));
    SetKey(sendKey_, nullptr, 0);
    SetKey(recvKey_, nullptr, 0);
}

bool TestClient::Connect(uint16_t port, int receiveBuffer, const std::string& from) {
    asio::error_code ec;
    socket_.open(asio::ip::tcp::v4(), ec);
    if (!ec && !from.empty())
        socket_.bind({asio::ip::make_address_v4(from), 0}, ec);
    if (!ec && receiveBuffer > 0)
        socket_.set_option(asio::socket_base::receive_buffer_size(receiveBuffer), ec);
    if (!ec)
        socket_.connect({asio::ip::make_address_v4("127.0.0.1"), port}, ec);
    return !ec;
}

void TestClient::Shutdown() {
    ::shutdown(socket_.native_handle(), SHUT_RDWR);
}

int TestClient::ReleaseHandle() {
    asio::error_code ec;
    return int(socket_.release(ec));
}

void TestClient::SetTimeout(std::chrono::milliseconds limit) {
    timeoutMs_ = int(limit.count());
}

bool TestClient::Alive() {
    std::vector<uint8_t> hb(kHeartbeatReqSize);
    BuildHeartbeatRequest(hb.data());
    return Send(hb) && Expect(kMsgHeartbeatRsp).has_value();
}

void TestClient::Close() {
    asio::error_code ec;
    socket_.close(ec);
}

bool TestClient::SendRaw(const std::vector<uint8_t>& bytes) {
    asio::error_code ec;
    asio::write(socket_, asio::buffer(bytes), ec);
    return !ec;
}

bool TestClient::Send(const std::vector<uint8_t>& msg) {
    size_t n = authenticated_
                   ? EncodePacket(msg.data(), msg.size(), '6', sendKey_, packet_.data(), *buffers_)
                   : EncodePacket(msg.data(), msg.size(), '4', fixedKey_, packet_.data(), *buffers_);
    if (n == 0)
        return false;
    std::vector<uint8_t> bytes = std::move(prelude_);
    prelude_.clear();
    bytes.insert(bytes.end(), packet_.begin(), packet_.begin() + long(n));
    return SendRaw(bytes);
}

bool TestClient::ReadMore() {
    uint8_t buf[65536];
    asio::error_code ec;
    if (timeoutMs_ >= 0) {
        pollfd p{socket_.native_handle(), POLLIN, 0};
        if (::poll(&p, 1, timeoutMs_) == 0) {
            timedOut_ = true;
            return false;
        }
    }
    size_t n = socket_.read_some(asio::buffer(buf), ec);
    if (ec)
        return false;
    in_.insert(in_.end(), buf, buf + n);
    return true;
}

TestClient::Got TestClient::Receive(std::vector<uint8_t>& msg) {
    while (true) {
        DecodeResult r = DecodePacket(in_.data(), in_.size(), fixedKey_, recvKey_, *buffers_);
        if (r.status == DecodeStatus::Message) {
            msg.assign(r.message, r.message + r.length);
            in_.erase(in_.begin(), in_.begin() + long(r.consumed));
            return Got::Message;
        }
        if (r.status == DecodeStatus::Drop) {
            garbage_ += in_.size();
            in_.clear();
            return Got::Garbage;
        }
        if (!ReadMore())
            return Got::Closed;
    }
}

std::optional<std::vector<uint8_t>> TestClient::Expect(uint16_t type) {
    std::vector<uint8_t> msg;
    while (Receive(msg) == Got::Message) {
        if (msg.size() >= MessageHeader::kSize && PeekMsgType(msg.data()) == type)
            return msg;
    }
    return std::nullopt;
}

std::optional<uint32_t> TestClient::Authenticate() {
    std::vector<uint8_t> req(kAuthentReqSize);
    BuildAuthentRequest(req.data());
    if (!Send(req))
        return std::nullopt;
    auto rsp = Expect(kMsgAuthentRsp);
    AuthentAnswer answer;
    if (!rsp || !ReadAuthentAnswer(rsp->data(), rsp->size(), answer))
        return std::nullopt;
    if (answer.errorCode == 0) {
        SetKey(sendKey_, answer.sendKeyText.data(), unsigned(answer.sendKeyText.size()));
        SetKey(recvKey_, answer.recvKeyText.data(), unsigned(answer.recvKeyText.size()));
        authenticated_ = true;
    }
    return answer.errorCode;
}

std::optional<uint32_t> TestClient::Login(const std::string& name, const std::string& password) {
    UserRecord user{name, password};
    uint8_t record[UserRecord::kSize] = {};
    user.Encode(record);
    std::vector<uint8_t> req(kLoginReqSize);
    BuildLoginRequest(record, req.data());
    if (!Send(req))
        return std::nullopt;
    auto rsp = Expect(kMsgLoginRsp);
    if (!rsp)
        return std::nullopt;
    return PeekErrorCode(rsp->data());
}

std::optional<messages::UpdateCheckResponse> TestClient::UpdateCheck(const std::string& packageNo) {
    if (!Send(messages::EncodeUpdateCheckRequest({packageNo, 0, 0})))
        return std::nullopt;
    auto rsp = Expect(messages::kPkgUpdateCheckRsp);
    if (!rsp)
        return std::nullopt;
    return messages::DecodeUpdateCheckResponse(rsp->data(), rsp->size());
}

std::optional<std::vector<ModuleRecord>> TestClient::ModuleCheck(const std::string& packageNo, uint32_t v3,
                                                                 uint32_t v4, size_t* parts) {
    if (!Send(messages::EncodeModuleCheckRequest({'P', packageNo, v3, v4})))
        return std::nullopt;
    std::vector<ModuleRecord> all;
    size_t count = 0;
    while (true) {
        auto rsp = Expect(messages::kPkgModuleCheckRsp);
        if (!rsp)
            return std::nullopt;
        auto decoded = messages::DecodeModuleCheckResponse(rsp->data(), rsp->size());
        if (!decoded)
            return std::nullopt;
        ++count;
        all.insert(all.end(), decoded->Modules.begin(), decoded->Modules.end());
        if (decoded->LastFlag == '0')
            break;
    }
    if (parts)
        *parts = count;
    return all;
}

TestClient::DownloadResult TestClient::Download(const std::vector<ModuleRecord>& modules,
                                                const fs::path& folder,
                                                const std::function<void()>& onMessage) {
    DownloadResult result;
    std::vector<messages::DownloadItem> items;
    std::multiset<std::string> pending;
    for (const auto& m : modules) {
        items.push_back({std::string(m.Package()), std::string(m.Name()), m.ModuleVerA, m.ModuleVerB});
        pending.insert(std::string(m.Name()));
    }
    for (const auto& req : messages::EncodeFileDownloadRequests(items))
        if (!Send(req)) {
            result.closed = true;
            return result;
        }

    std::string currentPath;
    UniqueFile current;
    bool answered = false;
    while (!pending.empty() || !answered) {
        std::vector<uint8_t> msg;
        Got got = Receive(msg);
        if (got == Got::Closed) {
            result.closed = true;
            break;
        }
        if (got == Got::Garbage || PeekMsgType(msg.data()) != messages::kFileDownloadRsp)
            continue;
        auto rsp = messages::DecodeFileDownloadResponse(msg.data(), msg.size());
        if (!rsp)
            continue;
        answered = true;
        ++result.messages;
        result.lastErrorCode = rsp->ErrorCode;
        if (onMessage)
            onMessage();
        for (const auto& chunk : rsp->Chunks) {
            std::string rel(chunk.RelDir);
            bool climbs = !rel.empty() && (rel[0] == '\\' || rel.find("..") != std::string::npos);
            if (climbs || chunk.FileName.empty() || chunk.FileName.find("..") != std::string_view::npos) {
                ++result.climbingChunks;
                continue;
            }
            for (char& c : rel)
                if (c == '\\')
                    c = '/';
            std::string path = (folder / rel / std::string(chunk.FileName)).string();
            if (path != currentPath) {
                current.Close();
                fs::create_directories(fs::path(path).parent_path());
                current = UniqueFile(std::fopen(path.c_str(), "wb"));
                currentPath = path;
            }
            if (!current)
                continue;
            std::fwrite(chunk.Data.data(), 1, chunk.Data.size(), current.Get());
            if (chunk.ModuleEnd) {
                auto it = pending.find(std::string(chunk.ModuleName));
                if (it != pending.end()) {
                    pending.erase(it);
                    result.completed.insert(std::string(chunk.ModuleName));
                }
            }
        }
    }
    return result;
}

} // namespace publisher::testing
