#include "load/results.h"

#include "core/wire.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace load {

const char* CauseName(Cause cause) {
    switch (cause) {
    case Cause::kNone:
        return "none";
    case Cause::kUnreachable:
        return "unreachable";
    case Cause::kRefused:
        return "refused";
    case Cause::kNothingOffered:
        return "nothing-offered";
    case Cause::kDownload:
        return "download";
    case Cause::kVerify:
        return "verify";
    case Cause::kTimeout:
        return "timeout";
    case Cause::kInterrupted:
        return "interrupted";
    case Cause::kWorker:
        return "worker";
    }
    return "unknown";
}

namespace {

// The header's fields, at their offsets.
enum : size_t {
    kAtMagic = 0,
    kAtNumber = 4,
    kAtCause = 8,
    kAtVerified = 9,
    kAtDetailLength = 10,
    kAtAttempts = 12,
    kAtMillis = 16,
    kAtReceived = 20,
    kAtPackage = 28,
    kAtFailMessage = 36,
    kAtFailCode = 40,
};
static_assert(kAtFailCode + 4 == kRecordHeader);

constexpr uint8_t kAllVerified = kVerifiedManifest | kVerifiedSignature | kVerifiedExpect;

void StoreU64(uint8_t* p, uint64_t v) {
    wire::StoreU32(p, uint32_t(v));
    wire::StoreU32(p + 4, uint32_t(v >> 32));
}
uint64_t LoadU64(const uint8_t* p) {
    return uint64_t(wire::LoadU32(p)) | (uint64_t(wire::LoadU32(p + 4)) << 32);
}

bool Printable(char c) {
    return c >= 0x20 && c < 0x7F;
}

} // namespace

std::vector<uint8_t> EncodeRecord(const InstallResult& r) {
    std::string detail = r.detail.substr(0, kMaxDetail);
    std::replace_if(
        detail.begin(), detail.end(), [](char c) { return !Printable(c); }, '?');
    std::vector<uint8_t> bytes(kRecordHeader + detail.size());
    uint8_t* p = bytes.data();
    wire::StoreU32(p + kAtMagic, kRecordMagic);
    wire::StoreU32(p + kAtNumber, r.number);
    p[kAtCause] = uint8_t(r.cause);
    p[kAtVerified] = r.verified;
    wire::StoreU16(p + kAtDetailLength, uint16_t(detail.size()));
    wire::StoreU32(p + kAtAttempts, r.attempts);
    wire::StoreU32(p + kAtMillis, r.millis);
    StoreU64(p + kAtReceived, r.receivedBytes);
    StoreU64(p + kAtPackage, r.packageBytes);
    wire::StoreU32(p + kAtFailMessage, r.failMessage);
    wire::StoreU32(p + kAtFailCode, uint32_t(r.failCode));
    std::copy(detail.begin(), detail.end(), p + kRecordHeader);
    return bytes;
}

void RecordReader::Feed(std::span<const uint8_t> bytes) {
    if (bad_)
        return;
    // What was taken goes before the buffer grows: it holds at most one record and a part.
    if (used_ != 0) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + std::ptrdiff_t(used_));
        used_ = 0;
    }
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

RecordReader::Status RecordReader::Next(InstallResult& out) {
    if (bad_)
        return Status::kBad;
    const wire::Bytes view(buffer_.data() + used_, buffer_.size() - used_);
    if (!view.Has(0, kRecordHeader))
        return Status::kNeedMore;
    const uint8_t* p = view.data();
    const size_t detailLength = wire::LoadU16(p + kAtDetailLength);
    if (wire::LoadU32(p + kAtMagic) != kRecordMagic || p[kAtCause] >= kCauses ||
        (p[kAtVerified] & ~kAllVerified) != 0 || detailLength > kMaxDetail) {
        bad_ = true;
        return Status::kBad;
    }
    if (!view.Has(kRecordHeader, detailLength))
        return Status::kNeedMore;
    InstallResult r;
    r.number = wire::LoadU32(p + kAtNumber);
    r.cause = Cause(p[kAtCause]);
    r.verified = p[kAtVerified];
    r.attempts = wire::LoadU32(p + kAtAttempts);
    r.millis = wire::LoadU32(p + kAtMillis);
    r.receivedBytes = LoadU64(p + kAtReceived);
    r.packageBytes = LoadU64(p + kAtPackage);
    r.failMessage = wire::LoadU32(p + kAtFailMessage);
    r.failCode = int32_t(wire::LoadU32(p + kAtFailCode));
    r.detail.assign(reinterpret_cast<const char*>(p + kRecordHeader), detailLength);
    if (!std::all_of(r.detail.begin(), r.detail.end(), Printable)) {
        bad_ = true;
        return Status::kBad;
    }
    used_ += kRecordHeader + detailLength;
    out = std::move(r);
    return Status::kRecord;
}

std::optional<double> Percentile(std::span<const double> sorted, double p) {
    if (sorted.empty())
        return std::nullopt;
    const double rank = std::ceil(p / 100.0 * double(sorted.size()));
    const size_t at = size_t(std::clamp(rank, 1.0, double(sorted.size()))) - 1;
    return sorted[at];
}

Summary Summarize(const RunFacts& facts, std::span<const InstallResult> results) {
    Summary s;
    s.facts = facts;
    std::vector<double> seconds;
    std::vector<double> ratios;
    uint64_t packageSum = 0;
    uint32_t firstFailed = 0;
    for (const InstallResult& r : results) {
        ++s.installs;
        ++s.byCause[size_t(r.cause)];
        const uint32_t retries = r.attempts > 1 ? r.attempts - 1 : 0;
        s.retriesTotal += retries;
        s.retriesMax = std::max(s.retriesMax, retries);
        s.receivedTotal += r.receivedBytes;
        if (r.cause != Cause::kNone) {
            ++s.failed;
            if (s.firstFailure.empty() || r.number < firstFailed) {
                firstFailed = r.number;
                s.firstFailure = "install " + std::to_string(r.number) + ": " + CauseName(r.cause) +
                                 (r.detail.empty() ? "" : ": " + r.detail);
            }
            continue;
        }
        ++s.completed;
        seconds.push_back(double(r.millis) / 1000.0);
        packageSum += r.packageBytes;
        if (r.packageBytes != 0)
            ratios.push_back(double(r.receivedBytes) / double(r.packageBytes));
        s.verifiedManifest += (r.verified & kVerifiedManifest) != 0;
        s.verifiedSignature += (r.verified & kVerifiedSignature) != 0;
        s.verifiedExpect += (r.verified & kVerifiedExpect) != 0;
    }
    std::sort(seconds.begin(), seconds.end());
    s.p50 = Percentile(seconds, 50);
    s.p95 = Percentile(seconds, 95);
    s.p99 = Percentile(seconds, 99);
    if (!seconds.empty())
        s.max = seconds.back();
    if (s.completed != 0)
        s.packageBytes = packageSum / s.completed;
    if (!ratios.empty()) {
        double sum = 0;
        for (double r : ratios)
            sum += r;
        s.ratioMean = sum / double(ratios.size());
        s.ratioMax = *std::max_element(ratios.begin(), ratios.end());
    }
    if (facts.elapsedSeconds > 0) {
        s.megabytesPerSecond = double(s.receivedTotal) / 1e6 / facts.elapsedSeconds;
        s.installsPerMinute = double(s.completed) * 60.0 / facts.elapsedSeconds;
    }
    return s;
}

namespace {

std::string Format(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string Seconds(const std::optional<double>& v) {
    return v ? Format("%.2f s", *v) : "-";
}

std::string JsonNumber(const std::optional<double>& v, const char* format = "%.3f") {
    return v ? Format(format, *v) : "null";
}

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (uint8_t(c) < 0x20 || uint8_t(c) >= 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", unsigned(uint8_t(c)));
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

} // namespace

std::string SummaryText(const Summary& s) {
    std::string out = "orvane-load: " + std::to_string(s.installs) + " installs of package " +
                      s.facts.packageNo + " from " + s.facts.service + ", " +
                      std::to_string(s.facts.concurrency) + " at a time, in " +
                      Format("%.1f s", s.facts.elapsedSeconds) + "\n";
    out += "  completed     " + std::to_string(s.completed) + "\n";
    out += "  failed        " + std::to_string(s.failed);
    const char* sep = ": ";
    for (size_t c = 1; c < kCauses; ++c) {
        if (s.byCause[c] != 0) {
            out += sep + std::string(CauseName(Cause(c))) + " " + std::to_string(s.byCause[c]);
            sep = ", ";
        }
    }
    out += "\n";
    if (!s.firstFailure.empty())
        out += "  first failure " + s.firstFailure + "\n";
    out += "  install time  p50 " + Seconds(s.p50) + ", p95 " + Seconds(s.p95) + ", p99 " + Seconds(s.p99) +
           ", max " + Seconds(s.max) + "\n";
    out += "  retries       " + std::to_string(s.retriesTotal) + " in all, at most " +
           std::to_string(s.retriesMax) + " in one install\n";
    out += "  received      ";
    if (s.ratioMean)
        out += Format("%.3f", *s.ratioMean) + " x the package's bytes on average, " +
               Format("%.3f", *s.ratioMax) + " x at most (package " +
               Format("%.2f MB", double(*s.packageBytes) / 1e6) + ")\n";
    else
        out += Format("%.2f MB", double(s.receivedTotal) / 1e6) + " in all\n";
    out += "  throughput    " + Format("%.2f MB/s", s.megabytesPerSecond) + ", " +
           Format("%.1f", s.installsPerMinute) + " installs per minute\n";
    out += "  verified      " + std::to_string(s.completed) + " modules whole, " +
           std::to_string(s.verifiedManifest) + " by the manifest, " + std::to_string(s.verifiedSignature) +
           " by its signature, " + std::to_string(s.verifiedExpect) + " by --expect\n";
    return out;
}

std::string SummaryJson(const Summary& s) {
    std::string out =
        "{\"service\":" + JsonString(s.facts.service) + ",\"package\":" + JsonString(s.facts.packageNo) +
        ",\"concurrency\":" + std::to_string(s.facts.concurrency) +
        ",\"installs\":" + std::to_string(s.installs) + ",\"completed\":" + std::to_string(s.completed) +
        ",\"failed\":" + std::to_string(s.failed) + ",\"failed_by_cause\":{";
    for (size_t c = 1; c < kCauses; ++c)
        out += (c > 1 ? "," : "") + JsonString(CauseName(Cause(c))) + ":" + std::to_string(s.byCause[c]);
    out +=
        "},\"first_failure\":" + (s.firstFailure.empty() ? std::string("null") : JsonString(s.firstFailure));
    out += ",\"install_seconds\":{\"p50\":" + JsonNumber(s.p50) + ",\"p95\":" + JsonNumber(s.p95) +
           ",\"p99\":" + JsonNumber(s.p99) + ",\"max\":" + JsonNumber(s.max) + "}";
    out += ",\"retries\":{\"total\":" + std::to_string(s.retriesTotal) +
           ",\"max_per_install\":" + std::to_string(s.retriesMax) + "}";
    out += ",\"bytes\":{\"received_total\":" + std::to_string(s.receivedTotal) +
           ",\"package\":" + (s.packageBytes ? std::to_string(*s.packageBytes) : "null") +
           ",\"ratio_mean\":" + JsonNumber(s.ratioMean, "%.4f") +
           ",\"ratio_max\":" + JsonNumber(s.ratioMax, "%.4f") + "}";
    out += ",\"throughput\":{\"mb_per_second\":" + Format("%.3f", s.megabytesPerSecond) +
           ",\"installs_per_minute\":" + Format("%.2f", s.installsPerMinute) + "}";
    out += ",\"elapsed_seconds\":" + Format("%.3f", s.facts.elapsedSeconds);
    out += ",\"verified\":{\"modules\":" + std::to_string(s.completed) +
           ",\"manifest\":" + std::to_string(s.verifiedManifest) +
           ",\"signature\":" + std::to_string(s.verifiedSignature) +
           ",\"expect\":" + std::to_string(s.verifiedExpect) + "}}\n";
    return out;
}

std::string ProgressLine(uint32_t completed, uint32_t failed, uint32_t running, double elapsedSeconds,
                         uint64_t receivedBytes) {
    const double minutes = elapsedSeconds / 60.0;
    const double perMinute = minutes > 0 ? double(completed) / minutes : 0;
    const double mbps = elapsedSeconds > 0 ? double(receivedBytes) / 1e6 / elapsedSeconds : 0;
    char line[160];
    std::snprintf(line, sizeof line,
                  "%u completed, %u failed, %u running | %.1f installs/min | %.2f MB/s | %.0f s", completed,
                  failed, running, perMinute, mbps, elapsedSeconds);
    return line;
}

} // namespace load
