// Errors of the component: a number, a source and a description, as automation
// clients see them, plus the path and the operating-system error code where a
// failure has them. Path and native code are for logs and the command line;
// they are never folded into the description, which hosts compare.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace bk {

// The component's own error numbers, as published in its type library.
enum bkCreateError : int32_t {
  bkCreateErrorUnableToOpenFile = 30000,
  bkCreateErrorFileNotFound = 30001,
  bkCreateErrorNotInSafeMode = 30002,
  bkCreateErrorAlreadyInSafeMode = 30003,
};

// Standard run-time error numbers used by the component.
namespace errnum {
inline constexpr int32_t kInvalidProcedureCall = 5;
inline constexpr int32_t kOverflow = 6;
inline constexpr int32_t kSubscriptOutOfRange = 9;
inline constexpr int32_t kUserInterrupt = 18;
inline constexpr int32_t kTypeMismatch = 13;
inline constexpr int32_t kBadFileNameOrNumber = 52;
inline constexpr int32_t kFileNotFound = 53;
inline constexpr int32_t kFileAlreadyExists = 58;
inline constexpr int32_t kDiskFull = 61;
inline constexpr int32_t kInputPastEndOfFile = 62;
inline constexpr int32_t kPermissionDenied = 70;
inline constexpr int32_t kPathFileAccessError = 75;
inline constexpr int32_t kPathNotFound = 76;
inline constexpr int32_t kObjectNotSet = 91;
inline constexpr int32_t kDuplicateKey = 457;

// Numbers of the component beyond the published enumeration.
// A log file that exists but cannot be parsed as XML.
inline constexpr int32_t kXmlParseError = 30100;
// An archive that cannot be read, or an operation on it that failed as a whole
// (hostile entry names, entries that could not be written back).
inline constexpr int32_t kArchiveError = 30200;
// A value that the rollback log cannot store faithfully.
inline constexpr int32_t kUnrepresentableValue = 30101;
}  // namespace errnum

// Source of errors that are not raised by a named member: the library name.
inline constexpr const char* kLibrarySource = "VELMARBrightkeep";

// What kind of failure an error is, beyond its number (30200 serves many):
// input that cannot be read (a damaged archive, log or record), a refusal
// (distrust, a change made meanwhile, a path that would leave its drive), an
// operation that did part of its work (a rollback some of whose files did
// not come back), or the system's failure to read or write. kUnspecified
// for errors that were given none.
enum class ErrorKind : uint8_t { kUnspecified, kCorrupt, kRefused, kIncomplete, kIo };

class Error : public std::exception {
 public:
  Error(int32_t number, std::string source, std::string description,
        std::string path = {}, int64_t native_code = 0);

  // The same error, of that kind.
  Error& Kind(ErrorKind kind) {
    kind_ = kind;
    return *this;
  }
  ErrorKind kind() const { return kind_; }

  // A standard run-time error with its standard description and the library
  // name as source.
  static Error Standard(int32_t number, std::string path = {}, int64_t native_code = 0);

  int32_t number() const { return number_; }
  // A file or folder that is not there: 53 "File not found" or 76 "Path not
  // found" (which of the two depends on whether its folder exists).
  bool IsNotFound() const { return number_ == errnum::kFileNotFound || number_ == errnum::kPathNotFound; }
  const std::string& source() const { return source_; }
  const std::string& description() const { return description_; }
  const std::string& path() const { return path_; }
  int64_t native_code() const { return native_code_; }

  // "description (number)" followed by ": path" when there is one.
  const char* what() const noexcept override { return what_.c_str(); }

 private:
  int32_t number_;
  std::string source_;
  std::string description_;
  std::string path_;
  int64_t native_code_;
  ErrorKind kind_ = ErrorKind::kUnspecified;
  std::string what_;
};

// The standard description of a run-time error number, or an empty string
// when the number has none.
const char* StandardDescription(int32_t number);

// A number below 65536 travels as severity error, facility 10 (FACILITY_CONTROL),
// code n: 30000 becomes 0x800A7530. Larger numbers are taken as HRESULTs already.
int32_t HresultFromNumber(int32_t number);
// The inverse: the code of a FACILITY_CONTROL failure, the HRESULT itself otherwise.
int32_t NumberFromHresult(int32_t hresult);

}  // namespace bk
