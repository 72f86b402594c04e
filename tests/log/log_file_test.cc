// The rollback log file: the tree a new log writes, logs written by others,
// value encodings, files that fail to load, and saves cut short.
#include <gtest/gtest.h>

#include <cmath>
#include <regex>

#include "support/fault_injection.h"
#include "component/platform.h"
#include "log/log_test_util.h"
#include "log/rollback_log.h"
#include "support/temp_dir.h"

namespace bk {
namespace {

using testing::NumberOf;
using testing::LoadLog;
using testing::LogText;
using testing::Parse;
using testing::ReadFile;
using testing::TempDir;
using testing::Utf16Le;
using testing::WriteFile;

TEST(LogFile, NewLogHoldsExactlyTheInitialTreeAsUtf16WithoutAddedDeclaration) {
  TempDir dir;
  auto log = clsFileRollbackLog::Create();
  log->CreateLogFile(dir / "l.xml");
  const std::string bytes = ReadFile(dir / "l.xml");
  const std::string text = LogText(bytes);
  const std::string sep = std::regex_replace(LocaleDecimalSeparator(), std::regex("[.^$|()\\[\\]{}*+?\\\\]"), "\\$&");
  const std::regex tree("<VELMARFileRollbackLog Version=\"1\\.0\">\\s*<StartDate Value=\"\\d+(" + sep +
                        "\\d+)?\"\\s*/>\\s*<TempPath\\s*/>\\s*<BackupDestination\\s*/>\\s*<ZipFiles\\s*/>\\s*"
                        "</VELMARFileRollbackLog>\\s*");
  EXPECT_TRUE(std::regex_match(text, tree)) << text;
  // The file is the document's text and nothing more.
  EXPECT_EQ(bytes, Utf16Le(Parse(bytes)->Xml()));
}

// A log keeps the files it lists in its file, not in memory: what it writes
// is still exactly what its whole document prints, and every path reads back,
// saved or appended since, from the log that wrote it and from the file.
TEST(LogFile, FilesKeptInTheFileReadBackAndPrintAsTheWholeDocument) {
  TempDir dir;
  auto log = clsFileRollbackLog::Create();
  log->CreateLogFile(dir / "l.xml");
  const auto c = log->AddZip("c.zip", "C:");
  log->AddZip("d.zip", "D:");  // stays empty between two that list files
  const auto e = log->AddZip("e.zip", "E:");
  std::vector<std::string> c_paths = {"C:\\a&b<c>\"d'.txt", "C:\\tab\there", "C:\\line\nbreak", "C:\\\xFF\xFE.bin"};
  std::vector<std::string> e_paths;
  for (int i = 0; i < 5000; ++i) e_paths.push_back("E:\\many\\" + std::to_string(i));
  c->AppendFiles(c_paths);
  e->AppendFiles(std::vector<std::string>(e_paths.begin(), e_paths.begin() + 4500));
  log->SaveLog();
  e->AppendFiles(std::vector<std::string>(e_paths.begin() + 4500, e_paths.end()));
  c->AppendFiles({"C:\\later"});
  c_paths.push_back("C:\\later");
  EXPECT_EQ(c->FilePaths(), c_paths) << "saved and appended since";
  EXPECT_EQ(e->FilePaths(), e_paths);
  EXPECT_EQ(e->FilePath(4500), e_paths[4499]);
  EXPECT_EQ(e->FilePath(4501), e_paths[4500]);
  EXPECT_EQ(NumberOf([&] { e->FilePath(5001); }), errnum::kSubscriptOutOfRange);
  log->SaveLog();
  log->Completed(true);
  const std::string bytes = ReadFile(dir / "l.xml");
  EXPECT_EQ(bytes, Utf16Le(Parse(bytes)->Xml()));
  const auto copy = LoadLog(dir / "l.xml");
  EXPECT_EQ(copy->Zip(1)->FilePaths(), c_paths);
  EXPECT_EQ(copy->Zip(2)->FileCount(), 0);
  EXPECT_EQ(copy->Zip(3)->FilePaths(), e_paths);
  EXPECT_EQ(copy->Zip(3)->FilePath(5000), "E:\\many\\4999");
}

TEST(LogFile, LogWrittenByHandInAnotherLayoutAndEncodingLoads) {
  const std::string body =
      "<!-- written by hand -->\n"
      "<VELMARFileRollbackLog Completed=\"true\" Version=\"1.0\">\n"
      "    <StartDate Value=\"37298,5859259259\"/>\n"
      "    <BackupDestination Value=\"D:\\b.zip\"></BackupDestination>\n"
      "    <TempPath/>\r\n"
      "    <ZipFiles>\n"
      "        <ZipFile Drive=\"C:\" Name=\"C:\\t\\Safe-1.zip\">\n"
      "            <SafeFile Path=\"C:\\a.txt\" FileId=\"1\"/>\n"
      "            <SafeFile FileId=\"1\" Path=\"C:\\b&amp;c.txt\" />\n"
      "        </ZipFile>\n"
      "        <ZipFile ZipId=\"2\" Name='D:\\t\\Safe-2.zip' Drive=\"D:\">\n"
      "            <SafeFile FileId=\"1\" Path=\"D:\\&#x65E5;.txt\"/>\n"
      "        </ZipFile>\n"
      "    </ZipFiles>\n"
      "</VELMARFileRollbackLog>\n";
  const std::pair<const char*, std::string> files[] = {
      {"utf8", body},
      {"utf8 declared", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + body},
      {"utf16", Utf16Le(body)},
      {"utf16 declared", Utf16Le("<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n" + body)},
  };
  for (const auto& [name, bytes] : files) {
    SCOPED_TRACE(name);
    TempDir dir;
    WriteFile(dir / "l.xml", bytes);
    auto log = LoadLog(dir / "l.xml");
    EXPECT_TRUE(log->Completed());
    EXPECT_DOUBLE_EQ(log->StartDate(), 37298.5859259259);
    EXPECT_EQ(log->TempPath(), "");
    EXPECT_EQ(log->BackupDestFileName(), "D:\\b.zip");
    ASSERT_EQ(log->ZipCount(), 2);
    const auto c = log->Zip(1);
    EXPECT_EQ(c->ZipId(), 0);
    EXPECT_EQ(c->ZipDrive(), "C:");
    ASSERT_EQ(c->FileCount(), 2);
    EXPECT_EQ(c->FilePath(2), "C:\\b&c.txt") << "position decides, not FileId";
    EXPECT_EQ(log->ZipByDrive("d:")->ZipId(), 2);
    EXPECT_EQ(log->Zip(2)->FilePath(1), "D:\\\xE6\x97\xA5.txt");
    // A change saves the file in the log's own form, which loads again.
    c->AddFile("C:\\new.txt");
    auto again = LoadLog(dir / "l.xml");
    EXPECT_EQ(again->Zip(1)->FilePath(3), "C:\\new.txt");
    EXPECT_EQ(again->Zip(2)->FilePath(1), "D:\\\xE6\x97\xA5.txt");
    EXPECT_TRUE(again->Completed());
  }
}

TEST(LogFile, CompletedReadsTrueOnlyForTrueOrANonZeroNumber) {
  const std::pair<const char*, bool> cases[] = {
      {"True", true},   {"true", true},  {"TRUE", true}, {"-1", true},   {"1", true},     {"2.5", true},
      {" True ", true}, {"False", false}, {"0", false},  {"", false},    {"yes", false},  {"Truest", false}};
  TempDir dir;
  for (const auto& [value, expected] : cases) {
    SCOPED_TRACE(value);
    WriteFile(dir / "l.xml", std::string("<VELMARFileRollbackLog Completed=\"") + value + "\"/>");
    EXPECT_EQ(LoadLog(dir / "l.xml")->Completed(), expected);
  }
  WriteFile(dir / "l.xml", "<VELMARFileRollbackLog/>");
  EXPECT_FALSE(LoadLog(dir / "l.xml")->Completed());
}

TEST(LogFile, StartDateAcceptsEitherSeparatorAndDefaultsToTheZeroDate) {
  TempDir dir;
  const std::pair<const char*, double> good[] = {
      {"37298.5859259259", 37298.5859259259}, {"37298,5859259259", 37298.5859259259}, {"37298", 37298.0}};
  for (const auto& [text, value] : good) {
    WriteFile(dir / "l.xml", std::string("<R><StartDate Value=\"") + text + "\"/></R>");
    EXPECT_DOUBLE_EQ(LoadLog(dir / "l.xml")->StartDate(), value) << text;
  }
  for (const char* bad : {"", "abc", "1.2.3", "1e999"}) {
    WriteFile(dir / "l.xml", std::string("<R><StartDate Value=\"") + bad + "\"/></R>");
    EXPECT_EQ(NumberOf([&] { LoadLog(dir / "l.xml")->StartDate(); }), errnum::kTypeMismatch) << bad;
  }
  WriteFile(dir / "l.xml", "<R><TempPath Value=\"t\"/></R>");
  EXPECT_EQ(LoadLog(dir / "l.xml")->StartDate(), 0.0);
}

TEST(LogFile, DateTextHasFifteenDigitsAndTheLocaleSeparator) {
  const std::string sep = LocaleDecimalSeparator();
  EXPECT_EQ(OleDateToText(37298.5859259259), "37298" + sep + "5859259259");
  EXPECT_EQ(OleDateToText(37298.0), "37298");
  EXPECT_EQ(OleDateToText(2.0 / 3.0), "0" + sep + "666666666666667");
  EXPECT_DOUBLE_EQ(OleDateFromText(OleDateToText(45123.25)), 45123.25);
  const double now = OleDateFromLocalNow();
  EXPECT_GT(now, 43831.0) << "after 2020";
  EXPECT_NEAR(now * 86400, std::round(now * 86400), 1e-3) << "whole seconds";
}

TEST(LogFile, MissingOrMalformedFileFailsAndLeavesNoEntries) {
  TempDir dir;
  auto log = clsFileRollbackLog::Create();
  EXPECT_EQ(NumberOf([&] { log->LoadFromFile(dir / "none.xml"); }), errnum::kFileNotFound);
  EXPECT_EQ(log->LogFileName(), dir / "none.xml");
  EXPECT_EQ(NumberOf([&] { log->ZipCount(); }), errnum::kObjectNotSet);
  EXPECT_FALSE(log->Completed());
  EXPECT_EQ(NumberOf([&] { log->TempPath("x"); }), errnum::kObjectNotSet);
  log->SaveLog();
  EXPECT_FALSE(testing::Exists(dir / "none.xml"));

  WriteFile(dir / "bad.xml", Utf16Le("<VELMARFileRollbackLog>\n<ZipFiles>\n</VELMARFileRollbackLog>"));
  try {
    log->LoadFromFile(dir / "bad.xml");
    ADD_FAILURE() << "loaded";
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), errnum::kXmlParseError);
    EXPECT_EQ(e.path(), dir / "bad.xml");
  }
  EXPECT_EQ(NumberOf([&] { log->Zip(1); }), errnum::kObjectNotSet);
  log->SaveLog();
  EXPECT_EQ(LogText(ReadFile(dir / "bad.xml")), "<VELMARFileRollbackLog>\n<ZipFiles>\n</VELMARFileRollbackLog>")
      << "a log that failed to load never overwrites its file";
}

TEST(LogFile, DriveNamedTwiceOrTooManyArchivesFailToLoad) {
  TempDir dir;
  WriteFile(dir / "l.xml", "<R><ZipFiles><ZipFile Drive=\"C:\"/><ZipFile Drive=\"c:\"/></ZipFiles></R>");
  auto log = clsFileRollbackLog::Create();
  EXPECT_EQ(NumberOf([&] { log->LoadFromFile(dir / "l.xml"); }), errnum::kDuplicateKey);
  EXPECT_EQ(NumberOf([&] { log->ZipCount(); }), errnum::kObjectNotSet);

  std::string many = "<R>";
  for (int i = 0; i < 32769; ++i) many += "<ZipFile/>";
  WriteFile(dir / "l.xml", many + "</R>");
  EXPECT_EQ(NumberOf([&] { log->LoadFromFile(dir / "l.xml"); }), errnum::kOverflow);
}

// A save cut short at the n-th file-system operation, by a failure (and the
// clean-up it runs) or by a power cut right there, for n = 1, 2, ...: the
// file afterwards is the old log or the new one, complete, and no temporary
// file is left.
void CutEveryOperationOfASave(bool power_cut_at_failure) {
  TempDir dir;
  const std::string path = dir / "l.xml";
  for (uint64_t n = 1;; ++n) {
    SCOPED_TRACE(n);
    auto faulty = std::make_shared<FaultInjectingFileSystem>(DefaultFileSystem());
    auto log = clsFileRollbackLog::Create(faulty);
    log->CreateLogFile(path);
    log->AddZip("c.zip", "C:")->AddFile("C:\\old.txt");
    faulty->FailAt(n, kFaultAny, /*persistent=*/power_cut_at_failure);
    bool raised = false;
    try {
      log->Zip(1)->AddFile("C:\\new.txt");
    } catch (const Error&) {
      raised = true;
    }
    const bool fired = faulty->fault_fired();
    faulty->ClearFault();
    faulty->PowerCut();
    EXPECT_EQ(raised, fired);
    const auto copy = LoadLog(path);
    const int32_t files = copy->Zip(1)->FileCount();
    EXPECT_TRUE(files == 1 || files == 2) << files;
    if (!fired) {
      EXPECT_EQ(files, 2) << "a save that returned is durable";
    }
    EXPECT_EQ(copy->Zip(1)->FilePath(1), "C:\\old.txt");
    EXPECT_EQ(DefaultFileSystem()->ListFiles(dir.path()).size(), 1u) << "a temporary file was left";
    if (!fired) break;
    ASSERT_LT(n, 100u);
  }
}

TEST(LogFile, SaveFailingAtAnyOperationLeavesTheOldOrTheNewLog) { CutEveryOperationOfASave(false); }

TEST(LogFile, PowerCutAtAnyOperationOfASaveLeavesTheOldOrTheNewLog) { CutEveryOperationOfASave(true); }

}  // namespace
}  // namespace bk
