// The --config file: CLI11's TOML reader, held to a stricter grammar.
#pragma once

#include <CLI/CLI.hpp>

#include <set>
#include <string>
#include <vector>

namespace publisher {

// Every line is blank, a comment or `key = value` with a key the command line knows: a typo, a section
// header, a stray quote or a value CLI11 would split at its spaces is an error naming the line, rather
// than a setting silently lost or bent. What passes is read by CLI11's own TOML reader, unchanged.
class ConfigFileReader : public CLI::ConfigTOML {
  public:
    // `applied` receives the keys whose values the file supplies, i.e. those the command line did not
    // give: their value errors then name the file.
    ConfigFileReader(const CLI::App& app, std::set<std::string>& applied) : app_(app), applied_(applied) {}

    std::vector<CLI::ConfigItem> from_config(std::istream& input) const override;

  private:
    const CLI::App& app_;
    std::set<std::string>& applied_;
};

} // namespace publisher
