// Helpers of the log and XML tests: log file bytes and expected errors.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>

#include "component/error.h"
#include "component/text.h"
#include "component/xml/xml_document.h"
#include "log/rollback_log.h"
#include "support/error_of.h"
#include "support/temp_dir.h"

namespace bk::testing {

// UTF-8 text as UTF-16 LE bytes, with a byte-order mark unless told not to.
inline std::string Utf16Le(std::string_view utf8, bool bom = true) {
  std::string out = bom ? std::string("\xFF\xFE") : std::string();
  for (char16_t unit : text::ToUtf16(utf8)) {
    out += static_cast<char>(unit & 0xFF);
    out += static_cast<char>(unit >> 8);
  }
  return out;
}

// The text of a log file, which must be UTF-16 LE with a byte-order mark.
inline std::string LogText(std::string_view bytes) {
  EXPECT_GE(bytes.size(), 2u);
  EXPECT_EQ(bytes.substr(0, 2), std::string_view("\xFF\xFE", 2)) << "no UTF-16 LE byte-order mark";
  std::u16string units;
  for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
    units += static_cast<char16_t>(static_cast<uint8_t>(bytes[i]) | (static_cast<uint8_t>(bytes[i + 1]) << 8));
  }
  return text::ToUtf8(units);
}

// A document loaded from bytes.
inline std::shared_ptr<XmlDocument> Parse(std::string_view bytes) {
  auto doc = CreateXmlDocument();
  doc->Load(bytes, "test.xml");
  return doc;
}

// A log loaded from a file.
inline std::shared_ptr<clsFileRollbackLog> LoadLog(const std::string& path) {
  auto log = clsFileRollbackLog::Create();
  log->LoadFromFile(path);
  return log;
}

// Tests that start with a new log at `path` in a fresh folder.
class NewLogTest : public ::testing::Test {
 protected:
  NewLogTest() { log->CreateLogFile(path); }
  TempDir dir;
  const std::string path = dir / "l.xml";
  std::shared_ptr<clsFileRollbackLog> log = clsFileRollbackLog::Create();
};

}  // namespace bk::testing
