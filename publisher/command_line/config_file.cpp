#include "publisher/command_line/config_file.h"

#include <algorithm>
#include <map>
#include <sstream>

namespace publisher {
namespace {

// A config file is a screenful of settings; anything larger was named by mistake.
constexpr size_t kMaxConfigBytes = 1 << 20;

[[noreturn]] void Refuse(int line, const std::string& what) {
    throw CLI::ConfigError("line " + std::to_string(line) + ": " + what);
}

bool IsQuote(char c) {
    return c == '"' || c == '\'';
}

// One quoted string with no other quote of its kind inside: CLI11 takes it whole, without the quotes.
bool IsQuoted(const std::string& value) {
    return value.size() >= 2 && IsQuote(value.front()) && value.back() == value.front() &&
           value.find(value.front(), 1) == value.size() - 1;
}

// CLI11 would split an unquoted value at its spaces and commas.
bool IsBare(const std::string& value) {
    return value.find_first_of(" \t\v\f\r,\"'") == std::string::npos;
}

} // namespace

std::vector<CLI::ConfigItem> ConfigFileReader::from_config(std::istream& input) const {
    std::string text(kMaxConfigBytes + 1, '\0');
    input.read(text.data(), std::streamsize(text.size()));
    text.resize(size_t(input.gcount()));
    if (text.size() > kMaxConfigBytes)
        throw CLI::ConfigError("larger than 1 MiB");

    std::map<std::string, int> seen; // key -> the line that set it
    std::istringstream lines(text);
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number) {
        CLI::detail::trim(line);
        if (std::any_of(line.begin(), line.end(),
                        [](char c) { return (c >= 0 && c < ' ' && c != '\t') || c == 0x7f; }))
            Refuse(number, "a control character");
        if (line.empty() || line.front() == '#' || line.front() == ';')
            continue;
        if (line.front() == '[')
            Refuse(number, "sections are not used: put every key at the top level");
        const size_t equals = line.find('=');
        if (equals == std::string::npos)
            Refuse(number, "expected key = value");
        std::string key = CLI::detail::trim_copy(line.substr(0, equals));
        CLI::detail::remove_quotes(key);
        const CLI::Option* option = app_.get_option_no_throw("--" + key);
        if (option == nullptr)
            Refuse(number, "unknown key '" + key + "' (keys are the long option names without their dashes)");
        if (!option->get_configurable())
            Refuse(number, "'" + key + "' cannot be set in a config file");
        auto [first, isNew] = seen.emplace(key, number);
        if (!isNew)
            Refuse(number, "'" + key + "' was already set on line " + std::to_string(first->second));

        // CLI11 ends a value at its first '#', even inside quotes.
        std::string value = line.substr(equals + 1);
        value = CLI::detail::trim_copy(value.substr(0, value.find('#')));
        if (value.empty())
            Refuse(number, "no value for '" + key + "'");
        if (value.front() == '[') {
            if (option->get_multi_option_policy() != CLI::MultiOptionPolicy::TakeAll)
                Refuse(number, "'" + key + "' takes one value, not a list");
            // CLI11 reads a list on, as it does, up to the line that closes it, and only when it opens
            // with a value on the key's line.
            if (value.size() == 1)
                Refuse(number, "put the first value of the list on the line of its '['");
            while (value.back() != ']' && std::getline(lines, line)) {
                ++number;
                value += CLI::detail::trim_copy(line);
            }
            if (value.back() != ']')
                Refuse(number, "the list of '" + key + "' is not closed with ']'");
            if (CLI::detail::split_up(value.substr(1, value.size() - 2), ',').empty())
                Refuse(number, "the list of '" + key + "' is empty");
        } else if (IsQuote(value.front()) && !IsQuoted(value)) {
            Refuse(number, "the value of '" + key + "' has a quote too many or too few (a # ends the value)");
        } else if (!IsQuoted(value) && !IsBare(value)) {
            Refuse(number, "quote the value of '" + key + "': it has spaces or commas");
        } else if (option->get_expected_min() == 0 && value != "true" && value != "false") {
            Refuse(number, "'" + key + "' takes true or false");
        }
        if (option->empty())
            applied_.insert(key);
    }
    std::istringstream again(text);
    return CLI::ConfigTOML::from_config(again);
}

} // namespace publisher
