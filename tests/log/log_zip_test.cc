// clsFileRollBackLogZip: files of an archive, ZipId and ZipDrive.
#include <gtest/gtest.h>

#include "log/log_test_util.h"
#include "log/rollback_log.h"
#include "support/temp_dir.h"

namespace bk {
namespace {

using testing::NumberOf;
using testing::LogText;
using testing::Parse;
using testing::ReadFile;
using testing::TempDir;
using testing::LoadLog;

class LogZipTest : public testing::NewLogTest {};

std::vector<std::string> FileIds(const std::string& log_path, size_t zip) {
  const auto zips = Parse(ReadFile(log_path))->GetElementsByTagName("ZipFile");
  std::vector<std::string> ids;
  for (const auto& file : zips.at(zip)->GetElementsByTagName("SafeFile")) ids.push_back(file->GetAttribute("FileId"));
  return ids;
}

TEST_F(LogZipTest, FilesAreNumberedPerArchiveInTheOrderAdded) {
  const auto c = log->AddZip("c.zip", "C:");
  EXPECT_EQ(c->FileCount(), 0);
  c->AddFile("C:\\a.txt");
  c->AddFile("C:\\b.txt");
  c->AddFile("C:\\a.txt");
  const auto d = log->AddZip("d.zip", "D:");
  d->AddFile("D:\\z.txt");
  EXPECT_EQ(c->FileCount(), 3);
  EXPECT_EQ(c->FilePath(1), "C:\\a.txt");
  EXPECT_EQ(c->FilePath(2), "C:\\b.txt");
  EXPECT_EQ(c->FilePath(3), "C:\\a.txt") << "the same path is listed twice";
  EXPECT_EQ(FileIds(path, 0), (std::vector<std::string>{"1", "2", "3"}));
  EXPECT_EQ(FileIds(path, 1), (std::vector<std::string>{"1"}));
  EXPECT_EQ(NumberOf([&] { c->FilePath(0); }), errnum::kSubscriptOutOfRange);
  EXPECT_EQ(NumberOf([&] { c->FilePath(4); }), errnum::kSubscriptOutOfRange);
  EXPECT_EQ(NumberOf([&] { d->FilePath(-1); }), errnum::kSubscriptOutOfRange);
}

TEST_F(LogZipTest, AddedFileIsOnDiskWhenAddFileReturns) {
  const auto c = log->AddZip("c.zip", "C:");
  for (int i = 1; i <= 3; ++i) {
    c->AddFile("C:\\f" + std::to_string(i));
    auto copy = LoadLog(path);
    ASSERT_EQ(copy->Zip(1)->FileCount(), i);
    EXPECT_EQ(copy->Zip(1)->FilePath(i), "C:\\f" + std::to_string(i));
  }
}

TEST_F(LogZipTest, WrittenDriveChangesTheElementOnlyUntilTheNextSave) {
  const auto c = log->AddZip("c.zip", "C:");
  c->ZipDrive("E:");
  EXPECT_EQ(c->ZipDrive(), "E:");
  EXPECT_EQ(log->ZipByDrive("C:"), c);
  EXPECT_EQ(NumberOf([&] { log->ZipByDrive("E:"); }), errnum::kInvalidProcedureCall);
  EXPECT_NE(LogText(ReadFile(path)).find("Drive=\"C:\""), std::string::npos);
  log->SaveLog();
  EXPECT_NE(LogText(ReadFile(path)).find("Drive=\"E:\""), std::string::npos);
}

TEST_F(LogZipTest, EntriesBoundToTheSameElementReadTheSameValues) {
  log->AddZip("c.zip", "C:");
  auto copy = LoadLog(path);
  const auto a = copy->Zip(1);
  clsFileRollBackLogZip b;
  b.SetElement(Parse(ReadFile(path))->GetElementsByTagName("ZipFile").at(0));
  EXPECT_EQ(b.ZipName(), a->ZipName());
  EXPECT_EQ(b.Parent(), nullptr);
  a->ZipName("renamed.zip");
  EXPECT_EQ(copy->Zip(1)->ZipName(), "renamed.zip");
}

TEST(LogZip, ZipIdTextIsConvertedOrRefused) {
  struct Case {
    const char* text;
    int32_t id;
    int32_t error;
  };
  const Case cases[] = {{"", 0, 0},       {"7", 7, 0},         {" 12 ", 12, 0},           {"-3", -3, 0},
                        {"2.5", 2, 0},     {"3.5", 4, 0},       {"2147483647", INT32_MAX, 0},
                        {"abc", 0, 13},    {"0x10", 0, 13},     {"1 2", 0, 13},            {"inf", 0, 13},
                        {"2147483648", 0, 6}, {"-99999999999", 0, 6}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto doc = CreateXmlDocument();
    auto element = doc->CreateElement("ZipFile");
    doc->AppendChild(element);
    clsFileRollBackLogZip entry;
    entry.SetElement(element);
    EXPECT_EQ(entry.ZipId(), 0) << "no attribute";
    element->SetAttribute("ZipId", c.text);
    if (c.error == 0) {
      EXPECT_EQ(entry.ZipId(), c.id);
    } else {
      EXPECT_EQ(NumberOf([&] { entry.ZipId(); }), c.error);
    }
  }
}

TEST(LogZip, UnboundEntryFailsWithObjectNotSet) {
  clsFileRollBackLogZip entry;
  EXPECT_EQ(NumberOf([&] { entry.ZipId(); }), errnum::kObjectNotSet);
  EXPECT_EQ(NumberOf([&] { entry.FileCount(); }), errnum::kObjectNotSet);
  EXPECT_EQ(NumberOf([&] { entry.AddFile("a"); }), errnum::kObjectNotSet);
}

}  // namespace
}  // namespace bk
