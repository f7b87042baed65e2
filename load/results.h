// What one install came to, the record a worker sends it in over its pipe, and what the run's
// installs add up to: counts by cause, install time percentiles, retries, bytes received against the
// package's, throughput; written as the summary text, as JSON, and as the live progress line.
// Portable and stateless; any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace load {

// Why an install failed; kNone: it completed and verified.
enum class Cause : uint8_t {
    kNone,
    kUnreachable,    // no attempt got as far as a module list
    kRefused,        // the link or the login was refused (check or download service)
    kNothingOffered, // the service offers nothing for the package
    kDownload,       // the attempts gave out after a module list, or the download failed for good
    kVerify,         // the download completed but is not the package
    kTimeout,        // still running when the run's time was up
    kInterrupted,    // still running when the run was stopped (Ctrl-C, SIGTERM)
    kWorker,         // the worker process died, or sent what is no record
};
constexpr size_t kCauses = 9;
const char* CauseName(Cause cause);

// What verified a completed install (InstallResult::verified).
enum Verified : uint8_t {
    kVerifiedManifest = 1,  // the manifest's file list, sizes and SHA-256
    kVerifiedSignature = 2, // and its signature, with --public-key
    kVerifiedExpect = 4,    // byte for byte against --expect
};

struct InstallResult {
    uint32_t number = 0; // as handed out, from 1; 0 for the pre-flight probe
    Cause cause = Cause::kNone;
    uint8_t verified = 0;
    uint32_t attempts = 0;
    uint32_t millis = 0;        // from the first attempt to done or failed
    uint64_t receivedBytes = 0; // file bytes written across all attempts, interrupted modules included
    uint64_t packageBytes = 0;  // the files of the modules downloaded (completed installs)
    uint32_t failMessage = 0;   // DownloadAttempts::FailureMessage()
    int32_t failCode = 0;       // DownloadAttempts::FailureCode()
    std::string detail;         // printable ASCII, at most kMaxDetail bytes
    bool operator==(const InstallResult&) const = default;
};

// The record: a fixed little-endian header, then `detail`.
constexpr size_t kRecordHeader = 44;
constexpr size_t kMaxDetail = 200;
constexpr uint32_t kRecordMagic = 0x314C524F; // "ORL1"

// The detail is cut to kMaxDetail bytes and anything but printable ASCII becomes '?'.
std::vector<uint8_t> EncodeRecord(const InstallResult& result);

// Takes a worker's bytes as they arrive and gives back whole records. Once bytes that are no record
// arrive, the stream is bad for good.
class RecordReader {
  public:
    enum class Status { kRecord, kNeedMore, kBad };
    void Feed(std::span<const uint8_t> bytes);
    Status Next(InstallResult& out);
    // Bytes fed and not yet taken as records.
    size_t Pending() const { return buffer_.size() - used_; }

  private:
    std::vector<uint8_t> buffer_;
    size_t used_ = 0;
    bool bad_ = false;
};

// Nearest rank: the smallest value with at least p % of the values at or below it; `sorted` ascending,
// p in (0, 100]. Empty when there are no values.
std::optional<double> Percentile(std::span<const double> sorted, double p);

struct RunFacts {
    std::string service; // ADDR:PORT
    std::string packageNo;
    uint32_t concurrency = 1;
    double elapsedSeconds = 0; // from the first install handed out to the last result
};

struct Summary {
    RunFacts facts;
    uint32_t installs = 0, completed = 0, failed = 0;
    std::array<uint32_t, kCauses> byCause{};
    // Install time of the completed installs, in seconds.
    std::optional<double> p50, p95, p99, max;
    uint64_t retriesTotal = 0;
    uint32_t retriesMax = 0;
    uint64_t receivedTotal = 0;
    std::optional<uint64_t> packageBytes; // the completed installs' mean
    std::optional<double> ratioMean, ratioMax;
    double megabytesPerSecond = 0; // received bytes, 10^6 a megabyte
    double installsPerMinute = 0;  // completed
    uint32_t verifiedManifest = 0, verifiedSignature = 0, verifiedExpect = 0;
    std::string firstFailure; // "install N: cause: detail" of the lowest-numbered failure
};

Summary Summarize(const RunFacts& facts, std::span<const InstallResult> results);
std::string SummaryText(const Summary& summary);
std::string SummaryJson(const Summary& summary);
// The live line, without its carriage return.
std::string ProgressLine(uint32_t completed, uint32_t failed, uint32_t running, double elapsedSeconds,
                         uint64_t receivedBytes);

} // namespace load
