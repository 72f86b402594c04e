#include "cli/configuration.h"

#include <cstdlib>
#include <memory>
#include <set>

#include "cli/backup_names.h"
#include "cli/cli.h"
#include "component/error.h"
#include "component/platform.h"
#include "log/trust.h"

namespace bk::cli {

namespace {

// No configuration is anywhere near this size; a larger file is not one.
constexpr uint64_t kMaxConfigurationBytes = 64 * 1024;
constexpr const char* kEnvironmentVariable = "BRIGHTKEEP_CONFIG";

std::string_view Trim(std::string_view text) {
  const size_t start = text.find_first_not_of(" \t\r");
  if (start == std::string_view::npos) return {};
  return text.substr(start, text.find_last_not_of(" \t\r") - start + 1);
}

// The line without its comment: from a "#" that starts it or follows a blank.
std::string_view WithoutComment(std::string_view line) {
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '#' && (i == 0 || line[i - 1] == ' ' || line[i - 1] == '\t')) return line.substr(0, i);
  }
  return line;
}

// The keys of the file, each the name of the option it stands in for
// without its "--".
struct Key {
  std::string_view name;
  std::string Settings::*field;
};
constexpr Key kKeys[] = {{"temp", &Settings::temp}, {"backup", &Settings::backup}, {"keep", &Settings::keep}};

const Key* FindKey(std::string_view name) {
  for (const Key& key : kKeys) {
    if (key.name == name) return &key;
  }
  return nullptr;
}

Error BadLine(const std::string& path, size_t line, const std::string& why) {
  return Error(errnum::kInvalidProcedureCall, kLibrarySource,
               "Bad configuration, line " + std::to_string(line) + ": " + why, path);
}

bool IsCount(const std::string& value) {
  return !value.empty() && value.size() <= 9 && value.find_first_not_of("0123456789") == std::string::npos &&
         std::stoul(value) > 0;
}

// Checks one key's value; the message when it is bad.
std::optional<std::string> ValueProblem(FileSystem& fs, const std::string& key, const std::string& value) {
  if (value.empty()) return "\"" + key + "\" has no value";
  for (const char c : value) {
    if (static_cast<unsigned char>(c) < 0x20 && c != '\t') return "a control character in \"" + key + "\"";
  }
  if (key == "keep") {
    if (!IsCount(value)) return "\"keep\" needs a number of backups, 1 or more";
  } else if (!fs.paths().IsAbsolute(value)) {
    return "\"" + key + "\" needs an absolute path";
  }
  return std::nullopt;
}

}  // namespace

Settings BuiltInSettings() { return Settings{BK_DEFAULT_TEMP, BK_DEFAULT_BACKUP, ""}; }

Settings ParseSettings(FileSystem& fs, std::string_view text, const std::string& path, Settings defaults) {
  Settings settings = std::move(defaults);
  std::set<std::string> seen;
  size_t keep_line = 0;
  for (size_t number = 1; !text.empty(); ++number) {
    const size_t end = text.find('\n');
    const std::string_view line = Trim(WithoutComment(text.substr(0, end)));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (line.empty()) continue;
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos) throw BadLine(path, number, "not a \"key = value\" line");
    const std::string key(Trim(line.substr(0, equals)));
    const std::string value(Trim(line.substr(equals + 1)));
    const Key* known = FindKey(key);
    if (known == nullptr) throw BadLine(path, number, "unknown key \"" + key + "\"");
    if (!seen.insert(key).second) throw BadLine(path, number, "\"" + key + "\" given twice");
    if (const std::optional<std::string> problem = ValueProblem(fs, key, value)) throw BadLine(path, number, *problem);
    settings.*known->field = value;
    if (key == "keep") keep_line = number;
  }
  if (keep_line != 0 && !IsStampedPattern(fs, settings.backup)) {
    throw BadLine(path, keep_line, "\"keep\" needs \"%t\" in the name of the backup");
  }
  return settings;
}

Settings LoadSettings(FileSystem& fs, const std::optional<std::string>& config_option) {
  std::string path = config_option.value_or("");
  const char* environment = std::getenv(kEnvironmentVariable);
  if (path.empty() && environment != nullptr) path = environment;
  const bool named = !path.empty();
  if (!named) path = BK_CONFIG_FILE;
  if (path.empty()) return BuiltInSettings();
  path = fs.GetAbsolutePathName(path);

  std::unique_ptr<File> file;
  try {
    file = fs.Open(path, OpenMode::kReadRegular);
  } catch (const Error& e) {
    const bool missing = e.number() == errnum::kFileNotFound || e.number() == errnum::kPathNotFound;
    if (missing && !named) return BuiltInSettings();
    throw;
  }
  const FileStat st = file->Stat();
  if (const std::optional<Error> why = FileDistrust(st, path, CurrentUserId())) {
    throw Error(errnum::kPermissionDenied, kLibrarySource, "Refused the configuration file: " + why->description(),
                path);
  }
  if (st.size > kMaxConfigurationBytes) throw BadLine(path, 1, "the file is too large to be a configuration");
  return ParseSettings(fs, file->ReadAll(), path, BuiltInSettings());
}

// The options are taken in order: --keep after --backup, whose name decides.
void TakeDefaults(ParsedArgs& parsed, std::initializer_list<std::string_view> options) {
  std::optional<Settings> settings;
  const std::shared_ptr<FileSystem> fs = DefaultFileSystem();
  for (const std::string_view option : options) {
    if (parsed.Value(option)) continue;
    if (!settings) settings = LoadSettings(*fs, parsed.Value("--config"));
    const std::string& value = (*settings).*FindKey(option.substr(2))->field;
    const auto backup = parsed.Value("--backup");
    if (option == "--keep" && !(backup && IsStampedPattern(*fs, *backup))) continue;
    if (!value.empty()) parsed.values[std::string(option)] = value;
  }
}

std::string FolderOrConfigured(const ParsedArgs& parsed, std::string_view command) {
  if (parsed.positionals.size() > 1) throw UsageError(std::string(command) + " takes one folder at most");
  if (parsed.positionals.size() == 1) return parsed.positionals[0];
  ParsedArgs defaults = parsed;
  TakeDefaults(defaults, {"--temp"});
  if (!defaults.Value("--temp")) throw UsageError(std::string(command) + " needs a folder");
  return *defaults.Value("--temp");
}

}  // namespace bk::cli
