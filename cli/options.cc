#include "cli/options.h"

#include "cli/cli.h"

namespace bk::cli {

std::optional<std::string> ParsedArgs::Value(std::string_view name) const {
  const auto it = values.find(std::string(name));
  if (it == values.end()) return std::nullopt;
  return it->second;
}

namespace {

// Every command takes --config FILE (cli/configuration.h).
constexpr OptionDef kConfigOption{"--config", true};

const OptionDef* FindOption(std::initializer_list<OptionDef> options, std::string_view name) {
  if (name == kConfigOption.name) return &kConfigOption;
  for (const OptionDef& option : options) {
    if (option.name == name) return &option;
  }
  return nullptr;
}

}  // namespace

ParsedArgs ParseArgs(const std::vector<std::string>& args, std::initializer_list<OptionDef> options,
                     bool split_at_double_dash) {
  ParsedArgs parsed;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--") {
      std::vector<std::string> rest(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
      if (split_at_double_dash) {
        parsed.rest = std::move(rest);
      } else {
        parsed.positionals.insert(parsed.positionals.end(), rest.begin(), rest.end());
      }
      break;
    }
    if (arg == "-h" || arg == "--help") {
      parsed.help = true;
      continue;
    }
    if (arg.size() < 2 || arg[0] != '-') {
      parsed.positionals.push_back(arg);
      continue;
    }
    const size_t equals = arg.find('=');
    // "-q" is the one short option: "--quiet".
    const std::string name = arg == "-q" ? std::string("--quiet") : arg.substr(0, equals);
    const OptionDef* option = FindOption(options, name);
    if (option == nullptr) throw UsageError("unknown option '" + name + "'");
    if (!option->repeatable && (parsed.flags.count(name) || parsed.values.count(name))) {
      throw UsageError("option '" + name + "' given twice");
    }
    if (!option->takes_value) {
      if (equals != std::string::npos) throw UsageError("option '" + name + "' takes no value");
      parsed.flags.insert(name);
    } else if (equals != std::string::npos) {
      parsed.values[name] = arg.substr(equals + 1);
    } else if (i + 1 < args.size()) {
      parsed.values[name] = args[++i];
    } else {
      throw UsageError("option '" + name + "' needs a value");
    }
    if (option->takes_value && option->repeatable) parsed.repeated[name].push_back(parsed.values[name]);
  }
  return parsed;
}

}  // namespace bk::cli
