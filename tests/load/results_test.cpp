// Tests of the load's figures and of the record a worker sends: percentiles by nearest rank, the
// summary's sums and ratios, its JSON, and the reader against cut, split and hostile bytes.
#include "load/results.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using load::Cause;
using load::InstallResult;
using load::RecordReader;

namespace {

InstallResult Completed(uint32_t number, uint32_t millis, uint32_t attempts, uint64_t received,
                        uint64_t package) {
    InstallResult r;
    r.number = number;
    r.millis = millis;
    r.attempts = attempts;
    r.receivedBytes = received;
    r.packageBytes = package;
    r.verified = load::kVerifiedManifest;
    return r;
}

InstallResult FailedWith(uint32_t number, Cause cause, std::string detail) {
    InstallResult r;
    r.number = number;
    r.cause = cause;
    r.attempts = 1;
    r.detail = std::move(detail);
    return r;
}

std::vector<InstallResult> ReadAll(RecordReader& reader, RecordReader::Status& last) {
    std::vector<InstallResult> out;
    InstallResult r;
    while ((last = reader.Next(r)) == RecordReader::Status::kRecord)
        out.push_back(r);
    return out;
}

} // namespace

// Tests the nearest-rank percentile on small and uneven lists, where off-by-one errors show.
TEST(LoadResultsTest, PercentileByNearestRank) {
    struct Case {
        std::vector<double> sorted;
        double p;
        std::optional<double> want;
    };
    std::vector<double> hundred;
    for (int i = 1; i <= 100; ++i)
        hundred.push_back(i);
    const Case cases[] = {
        {{}, 50, std::nullopt},
        {{7}, 50, 7},
        {{7}, 99, 7},
        {{1, 2}, 50, 1},
        {{1, 2}, 51, 2},
        {{1, 2, 3, 4}, 50, 2},
        {{1, 2, 3, 4}, 75, 3},
        {{1, 2, 3, 4}, 99, 4},
        {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, 95, 10},
        {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, 90, 9},
        {hundred, 50, 50},
        {hundred, 95, 95},
        {hundred, 99, 99},
        {hundred, 100, 100},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.sorted.size() << " values, p" << c.p);
        EXPECT_EQ(load::Percentile(c.sorted, c.p), c.want);
    }
}

// Tests the summary's sums: failures by cause, the first failure by number, percentiles over the
// completed installs only, retries as attempts beyond the first, the byte ratios and the throughput.
TEST(LoadResultsTest, SummaryAddsUp) {
    const std::vector<InstallResult> results{
        Completed(1, 1000, 1, 1000, 1000),
        Completed(2, 3000, 3, 1500, 1000),
        FailedWith(5, Cause::kVerify, "file changed: a.bin"),
        Completed(3, 2000, 1, 1100, 1000),
        FailedWith(4, Cause::kTimeout, ""),
    };
    const load::RunFacts facts{"127.0.0.1:31711", "000185", 2, 10.0};
    const load::Summary s = load::Summarize(facts, results);
    EXPECT_EQ(s.installs, 5u);
    EXPECT_EQ(s.completed, 3u);
    EXPECT_EQ(s.failed, 2u);
    EXPECT_EQ(s.byCause[size_t(Cause::kVerify)], 1u);
    EXPECT_EQ(s.byCause[size_t(Cause::kTimeout)], 1u);
    EXPECT_EQ(s.byCause[size_t(Cause::kNone)], 3u);
    EXPECT_EQ(s.firstFailure, "install 4: timeout");
    EXPECT_EQ(s.p50, 2.0);
    EXPECT_EQ(s.p95, 3.0);
    EXPECT_EQ(s.max, 3.0);
    EXPECT_EQ(s.retriesTotal, 2u + 0u);
    EXPECT_EQ(s.retriesMax, 2u);
    EXPECT_EQ(s.receivedTotal, 3600u);
    EXPECT_EQ(s.packageBytes, 1000u);
    EXPECT_DOUBLE_EQ(*s.ratioMean, (1.0 + 1.5 + 1.1) / 3);
    EXPECT_DOUBLE_EQ(*s.ratioMax, 1.5);
    EXPECT_DOUBLE_EQ(s.megabytesPerSecond, 3600 / 1e6 / 10.0);
    EXPECT_DOUBLE_EQ(s.installsPerMinute, 18.0);
    EXPECT_EQ(s.verifiedManifest, 3u);
    EXPECT_EQ(s.verifiedExpect, 0u);

    const auto json = nlohmann::json::parse(load::SummaryJson(s));
    EXPECT_EQ(json["installs"], 5);
    EXPECT_EQ(json["completed"], 3);
    EXPECT_EQ(json["failed"], 2);
    EXPECT_EQ(json["failed_by_cause"]["verify"], 1);
    EXPECT_EQ(json["failed_by_cause"]["timeout"], 1);
    EXPECT_EQ(json["failed_by_cause"].size(), load::kCauses - 1);
    EXPECT_EQ(json["first_failure"], "install 4: timeout");
    EXPECT_DOUBLE_EQ(json["install_seconds"]["p50"].get<double>(), 2.0);
    EXPECT_EQ(json["retries"]["total"], 2);
    EXPECT_EQ(json["retries"]["max_per_install"], 2);
    EXPECT_EQ(json["bytes"]["received_total"], 3600);
    EXPECT_EQ(json["bytes"]["package"], 1000);
    EXPECT_NEAR(json["bytes"]["ratio_max"].get<double>(), 1.5, 1e-4);
    EXPECT_NEAR(json["throughput"]["installs_per_minute"].get<double>(), 18.0, 1e-2);
    EXPECT_EQ(json["verified"]["manifest"], 3);
    EXPECT_NE(load::SummaryText(s).find("failed        2: verify 1, timeout 1"), std::string::npos)
        << load::SummaryText(s);
}

// Tests that a run where nothing completed has no figures rather than made-up ones, and that its JSON
// still reads, with a detail that needs escaping.
TEST(LoadResultsTest, NothingCompletedHasNoFigures) {
    const std::vector<InstallResult> results{FailedWith(1, Cause::kVerify, "file \"a\\b\" changed")};
    const load::Summary s = load::Summarize({"127.0.0.1:1", "000185", 1, 0.0}, results);
    EXPECT_FALSE(s.p50);
    EXPECT_FALSE(s.ratioMean);
    EXPECT_FALSE(s.packageBytes);
    EXPECT_EQ(s.installsPerMinute, 0.0);
    const auto json = nlohmann::json::parse(load::SummaryJson(s));
    EXPECT_TRUE(json["install_seconds"]["p50"].is_null());
    EXPECT_TRUE(json["bytes"]["ratio_mean"].is_null());
    EXPECT_EQ(json["first_failure"], "install 1: verify: file \"a\\b\" changed");
}

// Tests that records survive the pipe however its bytes are split, one or several per read.
TEST(LoadResultsTest, RecordsRoundTripInAnyPieces) {
    InstallResult a = Completed(7, 1234, 3, 0x1'0000'0001ull, 0xFFFF'FFFF'FFull);
    a.failCode = -5;
    a.failMessage = 0x46E;
    a.verified = load::kVerifiedManifest | load::kVerifiedSignature | load::kVerifiedExpect;
    const InstallResult b = FailedWith(8, Cause::kWorker, std::string(load::kMaxDetail, 'x'));
    std::vector<uint8_t> bytes = load::EncodeRecord(a);
    const auto second = load::EncodeRecord(b);
    ASSERT_EQ(bytes.size(), load::kRecordHeader);
    ASSERT_EQ(second.size(), load::kRecordHeader + load::kMaxDetail);
    bytes.insert(bytes.end(), second.begin(), second.end());
    for (size_t piece : {size_t(1), size_t(3), size_t(43), bytes.size()}) {
        SCOPED_TRACE(piece);
        RecordReader reader;
        std::vector<InstallResult> got;
        RecordReader::Status last = RecordReader::Status::kNeedMore;
        for (size_t at = 0; at < bytes.size(); at += piece) {
            reader.Feed(std::span(bytes).subspan(at, std::min(piece, bytes.size() - at)));
            for (auto& r : ReadAll(reader, last))
                got.push_back(r);
            ASSERT_EQ(last, RecordReader::Status::kNeedMore);
        }
        EXPECT_EQ(got, (std::vector<InstallResult>{a, b}));
        EXPECT_EQ(reader.Pending(), 0u);
    }
}

// Tests that the encoder keeps the detail within bounds and printable, whatever it is given.
TEST(LoadResultsTest, EncoderBoundsTheDetail) {
    InstallResult r = FailedWith(1, Cause::kVerify, std::string(load::kMaxDetail + 50, 'y'));
    r.detail[3] = '\n';
    r.detail[4] = char(0xA3);
    RecordReader reader;
    reader.Feed(load::EncodeRecord(r));
    InstallResult got;
    ASSERT_EQ(reader.Next(got), RecordReader::Status::kRecord);
    EXPECT_EQ(got.detail.size(), load::kMaxDetail);
    EXPECT_EQ(got.detail.substr(0, 6), "yyy??y");
}

// Tests that bytes which are no record make the stream bad for good, and that a cut record is only
// ever waited for, never read.
TEST(LoadResultsTest, HostileAndCutRecords) {
    const std::vector<uint8_t> good = load::EncodeRecord(FailedWith(2, Cause::kDownload, "lost"));
    struct Case {
        const char* what;
        size_t at;
        uint8_t value;
    };
    const Case hostile[] = {
        {"magic", 0, 0x00},
        {"magic's last byte", 3, 0x00},
        {"cause past the last", 8, uint8_t(load::kCauses)},
        {"cause far out", 8, 0xFF},
        {"unknown verified flag", 9, 0x08},
        {"detail longer than allowed", 11, 0x01},
        {"unprintable detail", load::kRecordHeader, 0x07},
        {"detail byte above ASCII", load::kRecordHeader + 1, 0xC8},
    };
    for (const Case& c : hostile) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> bytes = good;
        bytes[c.at] = c.value;
        RecordReader reader;
        reader.Feed(bytes);
        InstallResult r;
        EXPECT_EQ(reader.Next(r), RecordReader::Status::kBad);
        reader.Feed(good); // bad stays bad: nothing after it can be trusted to start a record
        EXPECT_EQ(reader.Next(r), RecordReader::Status::kBad);
    }
    for (size_t cut = 0; cut < good.size(); ++cut) {
        RecordReader reader;
        reader.Feed(std::span(good).first(cut));
        InstallResult r;
        EXPECT_EQ(reader.Next(r), RecordReader::Status::kNeedMore) << cut;
    }
}
