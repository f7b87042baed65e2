// orvane-load: installs against a check service, many at a time, each checked (load/README.md).
#include "load/load_options.h"
#include "load/load_run.h"

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const Result<load::ParsedOptions> parsed = load::ParseLoadOptions(args);
    if (!parsed) {
        std::fprintf(stderr, "orvane-load: %s\n%s", parsed.error().message().c_str(), load::kUsage);
        return load::kExitUsage;
    }
    if (parsed->help) {
        std::fputs(load::kUsage, stdout);
        return load::kExitOk;
    }
    return load::RunLoad(parsed->options);
}
