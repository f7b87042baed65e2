// Arbitrary bytes into the publisher's packet handling: the first byte picks the service and how far
// the handshake has gone, the second how the download goes, the rest arrives as the peer's byte stream
// in pieces. Every answer and every download message is then drained, as a connection would write them.
// A bit of the first byte makes a download session start with a valid request, so the download paths
// are reached at once; the sessions share one cache of kept messages, so downloads after the first are
// sent from it. Bits of the second byte name the modules over and over in that request (they must go
// once) and change a file while it is being sent (the download must end with error 30 and a close).
// One module has a code page 936 name and file.
#include "net/session_messages.h"
#include "publisher/package/load_package.h"
#include "publisher/ops/event_log.h"
#include "publisher/serving/session.h"
#include "service/messages.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

using namespace publisher;
namespace fs = std::filesystem;

namespace {

struct World {
    fs::path root;
    Package package;
    EventLog log;
    DownloadRotation rotation{{AdvertisedServer{{"127.0.0.1", 4000}}}};
    ServiceSettings settings;
    std::unique_ptr<Scratch> scratch = std::make_unique<Scratch>();
    std::unique_ptr<CodecBuffers> buffers = std::make_unique<CodecBuffers>();

    World() {
        char dir[] = "/tmp/orvane-publisher-fuzz-XXXXXX";
        if (!mkdtemp(dir))
            std::abort();
        root = dir;
        fs::create_directories(root / "m/sub");
        fs::create_directories(root / "c/\xE8\xAF\xB4");
        RestoreFile();
        std::ofstream(root / "c/\xE8\xAF\xB4/\xE6\x95\xB0.txt") << "cp936";
        std::ofstream(root / "m/empty");
        std::ofstream(root / "package.json") << R"({"package": "000185", "version": {"part3": 1, "part4": 2},
                  "users": [{"name": "tulip", "password": "tulip"}],
                  "modules": [{"name": "m", "versionA": 1, "versionB": 2, "folder": "m"},
                              {"name": "\u8bf4", "versionA": 3, "versionB": 4, "folder": "c"},
                              {"name": "d", "versionA": 0, "versionB": 0, "state": "D"}]})";
        Reload();
        (void)log.OpenFile("/dev/null");
        settings.package = std::shared_ptr<const Package>(std::shared_ptr<void>(), &package);
        settings.rotation = &rotation;
        settings.moduleBatch = 1;
        settings.cache = std::make_shared<MessageCache>(1 << 20, std::chrono::nanoseconds(0));
    }
    // Several messages' worth, so that a change can land between two of them.
    void RestoreFile() { std::ofstream(root / "m/sub/a.bin") << std::string(250000, 'a'); }
    // A rewritten file is served again only once the package is loaded again, as after a SIGHUP; no
    // session may be running.
    void Reload() {
        auto load = LoadPackage(root);
        if (!load)
            std::abort();
        package = std::move(*load);
        stale = false;
    }
    bool stale = false;
    ~World() {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
};

World& TheWorld() {
    static World world;
    return world;
}

void FeedPlain(Session& s, const uint8_t* msg, size_t len) {
    // Type '1': no compression, no cipher; the codec accepts it on receipt.
    std::vector<uint8_t> p{'#', '1', uint8_t(len), uint8_t(len >> 8), uint8_t(len >> 16), 0};
    p.insert(p.end(), msg, msg + len);
    s.Receive(p.data(), p.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    World& w = TheWorld();
    if (w.stale)
        w.Reload();
    const uint8_t mode = data[0];
    const uint8_t download = data[1];
    Session session((mode & 1) ? Role::Download : Role::Check, w.settings, w.log, "fuzz", *w.scratch);
    std::vector<uint8_t> packet;
    if (mode & 2) {
        uint8_t req[kAuthentReqSize];
        BuildAuthentRequest(req);
        FeedPlain(session, req, sizeof req);
    }
    if (mode & 4) {
        UserRecord user{"tulip", "tulip"};
        uint8_t record[UserRecord::kSize];
        user.Encode(record);
        uint8_t req[kLoginReqSize];
        BuildLoginRequest(record, req);
        FeedPlain(session, req, sizeof req);
    }
    if ((mode & 0x41) == 0x41) {
        std::vector<messages::DownloadItem> items{{"000185", "m", 1, 2}};
        if (download & 1)
            for (int i = 0; i < 40; ++i)
                items.push_back(i % 2 ? messages::DownloadItem{"000185", "\xCB\xB5", 3, 4}
                                      : messages::DownloadItem{"000185", "m", 1, 2});
        auto req = messages::EncodeFileDownloadRequest(items);
        FeedPlain(session, req.data(), req.size());
        if (download & 2) {
            // One message of the file, then it grows under the stream.
            if (session.NextPacket(packet) && (packet.empty() || packet.size() > kPacketAreaSize))
                std::abort();
            std::ofstream(w.root / "m/sub/a.bin", std::ios::app) << "more";
            bool changedSeen = false;
            for (int k = 0; k < 1000 && session.NextPacket(packet); ++k)
                changedSeen = true;
            // Read from the file (not replayed from the cache), the grown file must end it.
            if (changedSeen && session.Streaming())
                std::abort();
            w.RestoreFile();
            w.stale = true;
        }
    }
    // The stream in pieces of a size the input chooses, keeping what was not consumed.
    size_t piece = 1 + (mode >> 3) * 97;
    std::vector<uint8_t> pending;
    for (size_t i = 2; i < size; i += piece) {
        size_t n = std::min(piece, size - i);
        pending.insert(pending.end(), data + i, data + i + n);
        size_t used = session.Receive(pending.data(), pending.size());
        if (used > pending.size())
            std::abort();
        pending.erase(pending.begin(), pending.begin() + long(used));
        if (pending.size() > 2 * (kPacketHeaderSize + kMaxPayload))
            std::abort(); // a connection's read buffer would overflow
        for (int k = 0; k < 64 && session.NextPacket(packet); ++k)
            if (packet.empty() || packet.size() > kPacketAreaSize)
                std::abort();
    }
    for (int k = 0; k < 100000 && session.NextPacket(packet); ++k)
        if (packet.empty() || packet.size() > kPacketAreaSize)
            std::abort();
    return 0;
}
