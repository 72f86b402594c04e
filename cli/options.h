// Argument parsing shared by the subcommands: long options with or without a
// value ("--name value" or "--name=value"), "-h"/"--help" and "--config FILE"
// anywhere, and "--" ending the options.
#pragma once

#include <initializer_list>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace bk::cli {

struct OptionDef {
  std::string_view name;  // with its leading "--"
  bool takes_value;
  bool repeatable = false;  // may be given again; every value is kept
};

struct ParsedArgs {
  bool help = false;
  std::set<std::string> flags;
  std::map<std::string, std::string> values;  // the last value of each option
  std::map<std::string, std::vector<std::string>> repeated;  // every value of repeatable ones
  std::vector<std::string> positionals;
  // Whatever follows "--" when the subcommand asks for it apart.
  std::optional<std::vector<std::string>> rest;

  bool Has(std::string_view name) const { return flags.count(std::string(name)) > 0; }
  std::optional<std::string> Value(std::string_view name) const;
};

// Fails with UsageError on an unknown option, a missing value or an option
// given twice that is not repeatable. With `split_at_double_dash` the words after "--" go to `rest`
// untouched; otherwise they are positionals.
ParsedArgs ParseArgs(const std::vector<std::string>& args, std::initializer_list<OptionDef> options,
                     bool split_at_double_dash = false);

}  // namespace bk::cli
