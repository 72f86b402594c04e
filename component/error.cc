#include "component/error.h"

#include <utility>

namespace bk {

Error::Error(int32_t number, std::string source, std::string description,
             std::string path, int64_t native_code)
    : number_(number),
      source_(std::move(source)),
      description_(std::move(description)),
      path_(std::move(path)),
      native_code_(native_code) {
  what_ = description_ + " (" + std::to_string(number_) + ")";
  if (!path_.empty()) what_ += ": " + path_;
}

Error Error::Standard(int32_t number, std::string path, int64_t native_code) {
  return Error(number, kLibrarySource, StandardDescription(number), std::move(path), native_code);
}

const char* StandardDescription(int32_t number) {
  switch (number) {
    case 5: return "Invalid procedure call or argument";
    case 6: return "Overflow";
    case 9: return "Subscript out of range";
    case 13: return "Type mismatch";
    case 18: return "User interrupt occurred";
    case 52: return "Bad file name or number";
    case 53: return "File not found";
    case 58: return "File already exists";
    case 61: return "Disk full";
    case 62: return "Input past end of file";
    case 70: return "Permission denied";
    case 75: return "Path/File access error";
    case 76: return "Path not found";
    case 91: return "Object variable or With block variable not set";
    case 457: return "This key is already associated with an element of this collection";
    default: return "";
  }
}

int32_t HresultFromNumber(int32_t number) {
  if (number > 0 && number < 65536) {
    return static_cast<int32_t>(0x800A0000u | static_cast<uint32_t>(number));
  }
  return number;
}

int32_t NumberFromHresult(int32_t hresult) {
  const uint32_t hr = static_cast<uint32_t>(hresult);
  if ((hr & 0xFFFF0000u) == 0x800A0000u) return static_cast<int32_t>(hr & 0xFFFFu);
  return hresult;
}

}  // namespace bk
