#include "load/verify.h"

#include "load/results.h"
#include "service/package_check.h"
#include "service/package_files.h"
#include "service/package_manifest.h"

#include <iconv.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <system_error>

namespace load {
namespace fs = std::filesystem;

namespace {

// What arrived is not the package.
Error Differs(std::string what) {
    return Error(ErrorKind::kSignature, std::move(what));
}

// UTF-8 to code page 936, as the publisher names files on the wire; empty when it has no form there.
std::optional<std::string> ToCodePage936(const std::string& utf8) {
    bool ascii = true;
    for (char c : utf8)
        ascii = ascii && uint8_t(c) < 0x80;
    if (ascii)
        return utf8;
    iconv_t cd = iconv_open("CP936", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1))
        return std::nullopt;
    std::string in = utf8, out(utf8.size() * 2 + 4, '\0');
    char* src = in.data();
    char* dst = out.data();
    size_t srcLeft = in.size(), dstLeft = out.size();
    const bool done = iconv(cd, &src, &srcLeft, &dst, &dstLeft) != size_t(-1) && srcLeft == 0;
    iconv_close(cd);
    if (!done)
        return std::nullopt;
    out.resize(out.size() - dstLeft);
    return out;
}

// `path` below `root` as a download path: its names joined by backslashes. Natively the writer makes
// each backslash of the wire a folder level, and leaves the bytes of every name as they came.
std::string DownloadPath(const fs::path& root, const fs::path& path) {
    std::string out;
    for (const fs::path& part : path.lexically_relative(root)) {
        if (!out.empty())
            out += '\\';
        out += part.string();
    }
    return out;
}

bool SameBytes(const fs::path& a, const fs::path& b) {
    std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
    if (!x || !y)
        return false;
    std::vector<char> bx(1 << 16), by(1 << 16);
    for (;;) {
        x.read(bx.data(), std::streamsize(bx.size()));
        y.read(by.data(), std::streamsize(by.size()));
        if (x.gcount() != y.gcount() || !std::equal(bx.begin(), bx.begin() + x.gcount(), by.begin()))
            return false;
        if (x.gcount() == 0 || !x || !y)
            return !x.bad() && !y.bad() && x.eof() == y.eof();
    }
}

// The manifest's list against the files: the same paths, sizes and digests.
Status CompareWithManifest(const package_manifest::Manifest& listed,
                           const std::vector<package_manifest::FileEntry>& present) {
    auto want = listed.files.begin();
    for (const auto& have : present) { // both sorted by path
        if (package_manifest::IsManifestFile(have.path))
            continue;
        if (want != listed.files.end() && want->path < have.path)
            return Differs("file missing: " + want->path);
        if (want == listed.files.end() || have.path < want->path)
            return Differs("file not listed: " + have.path);
        if (want->size != have.size || want->sha256 != have.sha256)
            return Differs("file changed: " + have.path);
        ++want;
    }
    if (want != listed.files.end())
        return Differs("file missing: " + want->path);
    return Ok();
}

Status CheckManifest(const Verification& v, const fs::path& folder,
                     const std::map<std::string, DownloadedFile>& files, uint32_t verPart3,
                     uint32_t verPart4) {
    using package_manifest::kManifestName;
    using package_manifest::kSignatureName;
    std::vector<package_manifest::FileEntry> present;
    for (const auto& [path, file] : files) {
        package_manifest::FileEntry entry{path, file.size, {}};
        if (!package_manifest::IsManifestFile(path) && !package_files::HashFile(file.path, entry))
            return Error(ErrorKind::kIo, "cannot read " + path);
        present.push_back(std::move(entry));
    }
    const auto manifest =
        package_files::ReadSmallFile(folder / kManifestName, package_manifest::kMaxManifestBytes);
    if (!v.keys.empty()) {
        const auto signature =
            package_files::ReadSmallFile(folder / kSignatureName, minisign::kMaxSignatureFile);
        const package_check::Expectation expected{v.packageNo, verPart3, verPart4, std::nullopt};
        const auto result = package_check::CheckPackage(v.keys, manifest, signature, expected, present);
        if (result.check == package_check::Check::kPassed)
            return Ok();
        return Differs(std::string(package_check::CheckName(result.check)) + ": " + result.file);
    }
    if (!manifest)
        return Differs("malformed manifest: " + std::string(kManifestName));
    const auto listed = package_manifest::Read(*manifest);
    if (!listed)
        return Differs("malformed manifest: " + std::string(kManifestName));
    if (listed->packageNo != v.packageNo)
        return Differs("manifest of another package: " + listed->packageNo);
    if (listed->verPart3 != verPart3 || listed->verPart4 != verPart4)
        return Differs("manifest of another version");
    return CompareWithManifest(*listed, present);
}

Status CompareWithExpected(const ExpectedPackage& expect,
                           const std::map<std::string, DownloadedFile>& files) {
    for (const auto& [path, source] : expect.files)
        if (!files.count(path))
            return Differs("file missing: " + path);
    for (const auto& [path, file] : files) {
        const auto it = expect.files.find(path);
        if (it == expect.files.end())
            return Differs("file not in --expect: " + path);
        std::error_code ec;
        if (fs::file_size(it->second, ec) != file.size || ec || !SameBytes(file.path, it->second))
            return Differs("file differs from --expect: " + path);
    }
    return Ok();
}

} // namespace

Result<std::map<std::string, DownloadedFile>> ListDownload(const fs::path& folder) {
    std::map<std::string, DownloadedFile> files;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const auto status = it->symlink_status(ec);
        if (ec)
            break;
        if (fs::is_directory(status))
            continue;
        const std::string path = DownloadPath(folder, it->path());
        if (!fs::is_regular_file(status))
            return Differs("not a regular file: " + path);
        files[path] = {it->file_size(ec), it->path()};
        if (ec)
            break;
    }
    if (ec)
        return Error(ErrorKind::kIo, "cannot list the download: " + ec.message(), ec.value());
    return files;
}

Result<ExpectedPackage> LoadExpectedPackage(const fs::path& dir) {
    const fs::path manifestPath = dir / "package.json";
    std::ifstream in(manifestPath, std::ios::binary);
    if (!in)
        return Error::FromErrno(ErrorKind::kIo, manifestPath.string() + ": cannot be read");
    ExpectedPackage expected;
    try {
        const auto json = nlohmann::json::parse(in);
        expected.packageNo = json.at("package").get<std::string>();
        for (const auto& module : json.at("modules")) {
            const std::string state = module.value("state", std::string("U"));
            if (state == "D" || !module.contains("folder"))
                continue;
            const fs::path root = dir / module.at("folder").get<std::string>();
            std::error_code ec;
            for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
                if (!it->is_regular_file(ec))
                    continue;
                const auto wire = ToCodePage936(DownloadPath(root, it->path()));
                if (!wire)
                    return Error(ErrorKind::kInvalid, it->path().string() + ": has no name in code page 936");
                expected.files[*wire] = it->path();
            }
            if (ec)
                return Error(ErrorKind::kIo, root.string() + ": " + ec.message(), ec.value());
        }
    } catch (const nlohmann::json::exception& e) {
        return Error(ErrorKind::kInvalid, manifestPath.string() + ": " + e.what());
    }
    return expected;
}

VerifyOutcome VerifyDownload(const Verification& v, const fs::path& folder, uint32_t verPart3,
                             uint32_t verPart4) {
    VerifyOutcome outcome;
    const auto files = ListDownload(folder);
    if (!files) {
        outcome.status = files.error();
        return outcome;
    }
    std::error_code ec;
    if (!v.keys.empty() || fs::exists(folder / package_manifest::kManifestName, ec)) {
        outcome.status = CheckManifest(v, folder, *files, verPart3, verPart4);
        if (!outcome.status)
            return outcome;
        outcome.verified |= kVerifiedManifest | (v.keys.empty() ? 0 : kVerifiedSignature);
    }
    if (v.expect) {
        outcome.status = CompareWithExpected(*v.expect, *files);
        if (!outcome.status)
            return outcome;
        outcome.verified |= kVerifiedExpect;
    }
    return outcome;
}

} // namespace load
