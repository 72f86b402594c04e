#include "component/error.h"

#include <gtest/gtest.h>

#include <cstring>

namespace bk {
namespace {

TEST(ErrorNumbers, HresultMappingBothWays) {
  EXPECT_EQ(static_cast<uint32_t>(HresultFromNumber(30000)), 0x800A7530u);
  EXPECT_EQ(static_cast<uint32_t>(HresultFromNumber(bkCreateErrorAlreadyInSafeMode)), 0x800A7533u);
  EXPECT_EQ(static_cast<uint32_t>(HresultFromNumber(53)), 0x800A0035u);
  EXPECT_EQ(static_cast<uint32_t>(HresultFromNumber(65535)), 0x800AFFFFu);
  for (int32_t n : {5, 9, 53, 62, 457, 30000, 30003, 30100, 30200}) {
    EXPECT_EQ(NumberFromHresult(HresultFromNumber(n)), n) << n;
  }
  // HRESULTs of other facilities pass through unchanged in both directions.
  const auto access_denied = static_cast<int32_t>(0x80070005u);
  EXPECT_EQ(HresultFromNumber(access_denied), access_denied);
  EXPECT_EQ(NumberFromHresult(access_denied), access_denied);
}

TEST(ErrorNumbers, EnumerationValues) {
  EXPECT_EQ(bkCreateErrorUnableToOpenFile, 30000);
  EXPECT_EQ(bkCreateErrorFileNotFound, 30001);
  EXPECT_EQ(bkCreateErrorNotInSafeMode, 30002);
  EXPECT_EQ(bkCreateErrorAlreadyInSafeMode, 30003);
}

TEST(ErrorNumbers, StandardDescriptions) {
  const struct {
    int32_t number;
    const char* description;
  } table[] = {
      {5, "Invalid procedure call or argument"}, {6, "Overflow"}, {9, "Subscript out of range"},
      {13, "Type mismatch"}, {52, "Bad file name or number"}, {53, "File not found"},
      {58, "File already exists"}, {61, "Disk full"}, {62, "Input past end of file"},
      {70, "Permission denied"}, {75, "Path/File access error"}, {76, "Path not found"},
      {91, "Object variable or With block variable not set"},
      {457, "This key is already associated with an element of this collection"},
  };
  for (const auto& row : table) EXPECT_STREQ(StandardDescription(row.number), row.description) << row.number;
  EXPECT_STREQ(StandardDescription(30000), "");
}

TEST(ErrorObject, PathAndNativeCodeStayOutOfTheDescription) {
  const Error e = Error::Standard(errnum::kFileNotFound, "C:\\x\\a.txt", 2);
  EXPECT_EQ(e.number(), 53);
  EXPECT_EQ(e.source(), kLibrarySource);
  EXPECT_EQ(e.description(), "File not found");
  EXPECT_EQ(e.path(), "C:\\x\\a.txt");
  EXPECT_EQ(e.native_code(), 2);
  EXPECT_STREQ(e.what(), "File not found (53): C:\\x\\a.txt");

  const Error own(bkCreateErrorNotInSafeMode, "EndSafety", "Not in safe mode");
  EXPECT_STREQ(own.what(), "Not in safe mode (30002)");
  EXPECT_TRUE(own.path().empty());
  EXPECT_EQ(own.native_code(), 0);
}

}  // namespace
}  // namespace bk
