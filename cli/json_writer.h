// A small streaming JSON writer with two-space indentation. Strings are
// taken as UTF-8; bytes that are not UTF-8 are written as \udcXX (the byte
// 0xXX), and code points of unpaired surrogates as their \uXXXX escape, so
// that no name is lost or rejected.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace bk::cli {

// The "format" member of every JSON document the command writes: it goes up
// when a member is removed or changes meaning (3: a start date carries the
// offset of the zone its period started in, and none where that is unknown).
inline constexpr int64_t kJsonFormat = 3;

class JsonWriter {
 public:
  explicit JsonWriter(std::ostream& out) : out_(out) {}

  void BeginObject() { Open('{'); }
  void EndObject() { Close('}'); }
  void BeginArray() { Open('['); }
  void EndArray() { Close(']'); }
  // The key of the next value inside an object.
  void Key(std::string_view key);

  void String(std::string_view value);
  void Integer(int64_t value);
  // A finite number with up to 15 significant digits; null otherwise.
  void Number(double value);
  void Bool(bool value);
  void Null();

  void Field(std::string_view key, std::string_view value) { Key(key); String(value); }
  void Field(std::string_view key, const char* value) { Key(key); String(value); }
  void Field(std::string_view key, int64_t value) { Key(key); Integer(value); }
  void Field(std::string_view key, bool value) { Key(key); Bool(value); }
  // An array of strings.
  void Field(std::string_view key, const std::vector<std::string>& values);

  // The text of a JSON string literal, quotes included.
  static std::string Quote(std::string_view value);

 private:
  void Open(char bracket);
  void Close(char bracket);
  void BeforeValue();
  void NewLine();

  std::ostream& out_;
  std::vector<int> counts_;  // values written at each open level
  bool after_key_ = false;
};

}  // namespace bk::cli
