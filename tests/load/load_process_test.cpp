// Tests of orvane-load as a process against the real publisher on loopback: a load that completes and
// verifies, a download that differs from --expect, the pre-flight failures that start no load, retries
// and the bytes of an interrupted module counted, and a run stopped by Ctrl-C or its time limit that
// leaves no process and no scratch folder behind.
#include "load/load_run.h"
#include "net/packet_codec.h"
#include "service/messages.h"
#include "tests/publisher/publisher_process.h"
#include "tests/publisher/temp_package.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace fs = std::filesystem;
using publisher::testing::PublisherProcess;
using publisher::testing::TempFolder;
using namespace std::chrono_literals;

namespace {

// Messages of file data one module fills: each module is one file of exactly this many full messages.
constexpr size_t kMessagesPerModule = 3;
size_t ModuleBytes() {
    return publisher::testing::FullMessageBytes(kMessagesPerModule);
}

// Package "000185" with `modules` modules of `bytes` each (one a folder deep), and one in state D.
void WriteLoadPackage(const fs::path& root, int modules, size_t bytes) {
    std::ofstream json(root / "package.json");
    json << R"({"package": "000185", "version": {"part3": 12, "part4": 3},
               "users": [{"name": "tulip", "password": "tulip"}], "modules": [)";
    for (int i = 1; i <= modules; ++i) {
        const std::string name = "m" + std::to_string(i);
        json << R"({"name": ")" << name << R"(", "versionA": 1, "versionB": 1, "folder": "modules/)" << name
             << R"("},)";
        publisher::testing::WriteFile(root, "modules/" + name + "/" + name + "/" + name + ".bin",
                                      publisher::testing::Pattern(bytes, uint32_t(i)));
    }
    json << R"({"name": "docs", "versionA": 1, "versionB": 1, "state": "D"}]})";
}

std::unique_ptr<PublisherProcess> ServeLoad(const TempFolder& package, const TempFolder& work,
                                            std::vector<std::string> extra = {}) {
    std::vector<std::string> args{
        "--package",  package.path().string(), "--check", "127.0.0.1:0",
        "--download", "127.0.0.1:0",           "--log",   (work.path() / "events.log").string()};
    args.insert(args.end(), extra.begin(), extra.end());
    return std::make_unique<PublisherProcess>(args);
}

std::string Service(const PublisherProcess& pub) {
    return "127.0.0.1:" + std::to_string(pub.checkPort());
}

struct ToolRun {
    int status = -1;
    std::string out, err;
};

// The direct children of `parent`, from /proc.
std::vector<pid_t> ChildrenOf(pid_t parent) {
    std::vector<pid_t> children;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::ifstream stat(entry.path() / "stat");
        std::string text((std::istreambuf_iterator<char>(stat)), {});
        const size_t close = text.rfind(')');
        if (close == std::string::npos)
            continue;
        char state = 0;
        int ppid = 0;
        if (std::sscanf(text.c_str() + close + 1, " %c %d", &state, &ppid) == 2 && ppid == parent)
            children.push_back(pid_t(std::stoi(name)));
    }
    return children;
}

std::set<std::string> ScratchFolders() {
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(load::ScratchBase(), ec))
        if (entry.path().filename().string().rfind("orvane-load-", 0) == 0)
            names.insert(entry.path().filename().string());
    return names;
}

size_t Lines(const std::string& text) {
    return size_t(std::count(text.begin(), text.end(), '\n'));
}

} // namespace

class LoadProcessTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // Any child the tool leaves behind is handed to this process, where the test sees it.
        ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
        scratchBefore_ = ScratchFolders();
    }
    void TearDown() override {
        EXPECT_EQ(ScratchFolders(), scratchBefore_) << "a scratch folder was left behind";
    }

    // Starts the tool; `whileRunning` (when given) is called with its process id before its output is
    // read to the end.
    ToolRun Run(const std::vector<std::string>& args, const std::function<void(pid_t)>& whileRunning = {}) {
        std::vector<std::string> all{ORVANE_LOAD_EXE};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        int out[2], err[2];
        EXPECT_EQ(pipe(out), 0);
        EXPECT_EQ(pipe(err), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        pid_t pid = -1;
        EXPECT_EQ(posix_spawn(&pid, all[0].c_str(), &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        close(err[1]);
        if (whileRunning)
            whileRunning(pid);
        ToolRun run;
        pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
        std::string* into[2] = {&run.out, &run.err};
        for (int open = 2; open > 0;) {
            if (poll(fds, 2, 30000) <= 0)
                break; // a safety net: the run's own limit is far shorter
            for (int i = 0; i < 2; ++i) {
                if (fds[i].revents == 0)
                    continue;
                char buffer[4096];
                const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
                if (n > 0) {
                    into[i]->append(buffer, size_t(n));
                } else {
                    fds[i].fd = -1;
                    --open;
                }
            }
        }
        close(out[0]);
        close(err[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        // Every worker was reaped by the tool: none was handed to this process.
        std::vector<pid_t> left = ChildrenOf(getpid());
        std::erase_if(left,
                      [&](pid_t p) { return std::count(publishers_.begin(), publishers_.end(), p) != 0; });
        EXPECT_TRUE(left.empty()) << left.size() << " processes outlived the tool";
        return run;
    }

    PublisherProcess& Keep(std::unique_ptr<PublisherProcess> pub) {
        publishers_.push_back(pub->pid());
        held_.push_back(std::move(pub));
        return *held_.back();
    }

    TempFolder package_, work_;

  private:
    std::set<std::string> scratchBefore_;
    std::vector<pid_t> publishers_;
    std::vector<std::unique_ptr<PublisherProcess>> held_;
};

// Tests that six installs, three at a time, all complete and match the package folder byte for byte,
// each receiving exactly the package's bytes.
TEST_F(LoadProcessTest, SixInstallsThreeAtATimeComplete) {
    constexpr size_t kBytes = 40000;
    WriteLoadPackage(package_.path(), 3, kBytes);
    PublisherProcess& pub = Keep(ServeLoad(package_, work_));
    ASSERT_TRUE(pub.started());
    const ToolRun run =
        Run({"--service", Service(pub), "--package-no", "000185", "--installs", "6", "--concurrency", "3",
             "--json", "--expect", package_.path().string(), "--timeout", "60"});
    ASSERT_EQ(run.status, load::kExitOk) << run.err << run.out;
    const auto json = nlohmann::json::parse(run.out);
    EXPECT_EQ(json["installs"], 6);
    EXPECT_EQ(json["completed"], 6);
    EXPECT_EQ(json["failed"], 0);
    EXPECT_EQ(json["concurrency"], 3);
    EXPECT_EQ(json["verified"]["expect"], 6);
    EXPECT_EQ(json["retries"]["total"], 0);
    EXPECT_EQ(json["bytes"]["package"], 3 * kBytes);
    EXPECT_EQ(json["bytes"]["received_total"], 6 * 3 * kBytes);
    EXPECT_TRUE(json["first_failure"].is_null());
    EXPECT_EQ(run.err, "") << "nothing on standard error but the live line, which needs a terminal";
}

// Tests that a download that differs from --expect by one byte fails every install as "verify", with
// the file named and a non-zero exit.
TEST_F(LoadProcessTest, OneByteChangedFailsVerify) {
    WriteLoadPackage(package_.path(), 2, 5000);
    TempFolder copy;
    fs::copy(package_.path(), copy.path(),
             fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    auto bytes = publisher::testing::ReadFile(copy.path() / "modules/m2/m2/m2.bin");
    bytes[1234] ^= 1;
    publisher::testing::WriteFile(copy.path(), "modules/m2/m2/m2.bin", bytes);
    PublisherProcess& pub = Keep(ServeLoad(package_, work_));
    ASSERT_TRUE(pub.started());
    const ToolRun run = Run({"--service", Service(pub), "--package-no", "000185", "--installs", "2", "--json",
                             "--expect", copy.path().string(), "--timeout", "60"});
    EXPECT_EQ(run.status, load::kExitFailed) << run.err;
    const auto json = nlohmann::json::parse(run.out);
    EXPECT_EQ(json["completed"], 0);
    EXPECT_EQ(json["failed_by_cause"]["verify"], 2);
    EXPECT_EQ(json["first_failure"], "install 1: verify: file differs from --expect: m2\\m2.bin");
}

// Tests that each pre-flight failure ends the run at once with its one line and status, and starts no
// load: nothing on standard output, and no download asked of the publisher.
TEST_F(LoadProcessTest, PreFlightFailuresStartNoLoad) {
    WriteLoadPackage(package_.path(), 1, 1000);
    uint16_t freed = 0;
    {
        publisher::testing::ServedPackage gone;
        freed = gone.process->checkPort();
    }
    struct Case {
        std::vector<std::string> switches; // empty: nothing listens
        std::string packageNo;
        int status;
        std::string line; // $ stands for the service's address
    };
    const Case cases[] = {
        {{}, "000185", load::kExitUnreachable, "orvane-load: nothing answers at $\n"},
        {{"--test-refuse-login", "3"},
         "000185",
         load::kExitRefused,
         "orvane-load: $: the check service refused the login\n"},
        {{"--test-refuse-auth", "7"},
         "000185",
         load::kExitRefused,
         "orvane-load: $: the check service refused the link\n"},
        {{"--metrics", "127.0.0.1:0"},
         "999999",
         load::kExitNotOffered,
         "orvane-load: package 999999 is not on offer at $ (code 20)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        std::string service = "127.0.0.1:" + std::to_string(freed);
        PublisherProcess* pub = nullptr;
        if (!c.switches.empty()) {
            pub = &Keep(ServeLoad(package_, work_, c.switches));
            ASSERT_TRUE(pub->started());
            service = Service(*pub);
        }
        const ToolRun run = Run(
            {"--service", service, "--package-no", c.packageNo, "--installs", "50", "--concurrency", "4"});
        EXPECT_EQ(run.status, c.status);
        std::string line = c.line;
        line.replace(line.find('$'), 1, service);
        EXPECT_EQ(run.err, line);
        EXPECT_EQ(run.out, "");
        if (pub != nullptr && pub->metricsPort() != 0) {
            const auto samples = publisher::testing::ScrapeMetrics(pub->metricsPort());
            EXPECT_EQ(samples.at("orvane_sent_bytes_total{kind=\"file\"}"), 0u);
        }
    }
}

// Tests that a download cut once at 40 % costs one retry, and that the interrupted module's bytes are
// counted: received lies above the package's bytes, by less than a fifth.
TEST_F(LoadProcessTest, DropIsRetriedAndItsBytesCounted) {
    WriteLoadPackage(package_.path(), 5, ModuleBytes());
    PublisherProcess& pub = Keep(ServeLoad(
        package_, work_,
        {"--test-drop-after", std::to_string(2 * kMessagesPerModule + 1), "--test-drop-times", "1"}));
    ASSERT_TRUE(pub.started());
    const ToolRun run = Run({"--service", Service(pub), "--package-no", "000185", "--installs", "2", "--json",
                             "--expect", package_.path().string(), "--timeout", "60"});
    ASSERT_EQ(run.status, load::kExitOk) << run.err << run.out;
    const auto json = nlohmann::json::parse(run.out);
    EXPECT_EQ(json["completed"], 2);
    EXPECT_EQ(json["retries"]["total"], 1);
    EXPECT_EQ(json["retries"]["max_per_install"], 1);
    const double ratioMax = json["bytes"]["ratio_max"];
    EXPECT_GT(ratioMax, 1.0);
    EXPECT_LT(ratioMax, 1.2);
    EXPECT_GT(json["bytes"]["received_total"].get<uint64_t>(), 2 * 5 * ModuleBytes());
}

// Tests that Ctrl-C stops a run at once: the installs running then count as interrupted, every worker
// is reaped, the scratch folder is gone, and the status is non-zero.
TEST_F(LoadProcessTest, InterruptStopsEveryWorker) {
    WriteLoadPackage(package_.path(), 2, 20000);
    PublisherProcess& pub = Keep(ServeLoad(package_, work_));
    ASSERT_TRUE(pub.started());
    bool sawWorkers = false;
    const ToolRun run = Run({"--service", Service(pub), "--package-no", "000185", "--duration", "60",
                             "--concurrency", "3", "--json"},
                            [&](pid_t tool) {
                                for (int i = 0; i < 1000 && !sawWorkers; ++i) {
                                    sawWorkers = ChildrenOf(tool).size() == 3;
                                    std::this_thread::sleep_for(10ms);
                                }
                                kill(tool, SIGINT);
                            });
    ASSERT_TRUE(sawWorkers);
    EXPECT_EQ(run.status, load::kExitFailed) << run.err;
    const auto json = nlohmann::json::parse(run.out);
    EXPECT_EQ(json["failed_by_cause"]["interrupted"], 3);
    EXPECT_EQ(json["failed"], 3);
    EXPECT_EQ(json["installs"].get<int>(), json["completed"].get<int>() + 3);
    EXPECT_LT(json["elapsed_seconds"].get<double>(), 30.0);
}

// Tests that the run's time limit ends an install that cannot finish (every download cut), counted as
// a timeout.
TEST_F(LoadProcessTest, TimeLimitEndsTheRun) {
    WriteLoadPackage(package_.path(), 1, 5000);
    PublisherProcess& pub = Keep(ServeLoad(package_, work_, {"--test-drop-after", "0"}));
    ASSERT_TRUE(pub.started());
    const auto start = std::chrono::steady_clock::now();
    const ToolRun run = Run(
        {"--service", Service(pub), "--package-no", "000185", "--installs", "1", "--json", "--timeout", "2"});
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    EXPECT_EQ(run.status, load::kExitFailed) << run.err;
    const auto json = nlohmann::json::parse(run.out);
    EXPECT_EQ(json["failed_by_cause"]["timeout"], 1);
    EXPECT_EQ(json["completed"], 0);
}

// Tests that a bad command line is one line and the usage, with status 2.
TEST_F(LoadProcessTest, BadCommandLine) {
    const ToolRun run = Run({"--service", "127.0.0.1:1", "--installs", "3"});
    EXPECT_EQ(run.status, load::kExitUsage);
    EXPECT_EQ(run.err.rfind("orvane-load: --package-no NO is required\nusage: orvane-load", 0), 0u)
        << run.err;
    EXPECT_EQ(run.out, "");
    const ToolRun missing = Run({"--service", "127.0.0.1:1", "--package-no", "1", "--installs", "3",
                                 "--expect", (package_.path() / "none").string()});
    EXPECT_EQ(missing.status, load::kExitUsage);
    EXPECT_EQ(Lines(missing.err), 1u) << missing.err;
}
