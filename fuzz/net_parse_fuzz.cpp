// Arbitrary bytes through ParsePackets into HandleMessage, with a client that records nothing but
// touches every byte it is handed (so the sanitizers see any read past a message).
#include "net/packet_codec.h"
#include "net/protocol.h"
#include "net/protocol_context.h"
#include "service/process_client.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace {

class TouchingClient : public ProcessClient {
  public:
    ~TouchingClient() override { Shutdown(); }
    uint32_t sum = 0;
    void Touch(const uint8_t* p, size_t n) {
        for (size_t i = 0; i < n; ++i)
            sum += p[i];
    }
    void OnMessage(const uint8_t* msg, size_t len) override { Touch(msg, len); }
    void OnClientDisconnect(const char* text, int code) override {
        sum += uint32_t(text[0]) + uint32_t(code);
    }
    void OnLogin(uint32_t errorCode, const uint8_t* body, size_t bodyLength) override {
        sum += errorCode;
        Touch(body, bodyLength);
    }
    void OnServerNotice(uint32_t errorCode, size_t length) override { sum += errorCode + uint32_t(length); }
    void OnAuthentLink(uint32_t errorCode) override { sum += errorCode; }
};

struct Harness {
    TouchingClient client;
    ProtocolContext ctx;
    Protocol protocol;
    Harness() {
        protocol.ctx = &ctx;
        protocol.client = &client;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Harness* h = new Harness; // one session across inputs: keys installed by one input persist
    // The transport's rule: offer the unconsumed rest again with the next bytes. Split each input in
    // two so the incomplete-packet path is exercised too.
    size_t half = size / 2;
    size_t used = h->protocol.ParsePackets(data, half);
    if (used > half)
        __builtin_trap();
    std::unique_ptr<uint8_t[]> rest(new uint8_t[size - used + 1]);
    for (size_t i = used; i < size; ++i)
        rest[i - used] = data[i];
    size_t more = h->protocol.ParsePackets(rest.get(), size - used);
    if (more > size - used)
        __builtin_trap();
    return 0;
}
