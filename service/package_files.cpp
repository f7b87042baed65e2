#include "service/package_files.h"

#include <sodium.h>

#include <fstream>
#include <system_error>
#include <vector>

namespace package_files {

Status HashFile(const std::filesystem::path& path, package_manifest::FileEntry& entry,
                const std::atomic<bool>* stop) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return Error::FromErrno(ErrorKind::kIo, "cannot open the file");
    crypto_hash_sha256_state state;
    crypto_hash_sha256_init(&state);
    std::vector<char> block(1 << 20);
    entry.size = 0;
    while (in) {
        if (stop && stop->load(std::memory_order_relaxed))
            return Error(ErrorKind::kCancelled, "stopped");
        in.read(block.data(), std::streamsize(block.size()));
        const auto got = size_t(in.gcount());
        crypto_hash_sha256_update(&state, reinterpret_cast<const unsigned char*>(block.data()), got);
        entry.size += got;
    }
    if (in.bad())
        return Error::FromErrno(ErrorKind::kIo, "cannot read the file");
    crypto_hash_sha256_final(&state, entry.sha256.data());
    return Ok();
}

std::optional<std::string> ReadSmallFile(const std::filesystem::path& path, size_t limit) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    if (ec || size > limit)
        return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    std::string text(size, '\0');
    if (!in || !in.read(text.data(), std::streamsize(size)))
        return std::nullopt;
    return text;
}

} // namespace package_files
