// The trace log, the transport log, the runtime log and the log channels.
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>

#include "common/TestEnv.h"
#include "host/LogManager.h"
#include "host/MainWindowHandle.h"
#include "host/ServiceUtilities.h"
#include "host/TraceCapture.h"
#include "host/TraceLog.h"
#include "host/TransportLogger.h"

namespace {

using tracetest::TraceCapture;

std::vector<std::string> FileLines(const std::string& path) {
  std::vector<std::string> lines;
  std::istringstream in(testenv::ReadFile(path));
  std::string l;
  while (std::getline(in, l)) lines.push_back(l);
  return lines;
}

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// "Mon Dec  7 01:02:03 2026"
const std::regex kCtime("[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}");

TEST(TraceLog, WritesNothingAnywhereWhenNeitherShownNorPersisted) {
  TraceCapture capture("[Log]\nLevel = info\n");
  TraceLog(TRACE_ERR, "CTest::Run %s", "not written");
  EXPECT_TRUE(TraceCapture::Lines().empty());
  EXPECT_FALSE(Exists(capture.Dir().File("ident")));
}

TEST(TraceLog, LinesBelowTheLevelAreDroppedAndTheRestCarryTimeThreadAndLevel) {
  TraceCapture capture("[Log]\nLevel = warn\n[Mode]\nShowWindow = true\n");
  TraceLog(TRACE_INFO, "CTest::Run dropped");
  TraceLog(TRACE_WARN, "CTest::Run warned %d", 1);
  TraceLog(TRACE_ERR, "CTest::Run failed iRet = %d", -1);
  std::vector<std::string> lines = TraceCapture::Lines();
  ASSERT_EQ(lines.size(), 2u);
  char tid[16];
  snprintf(tid, sizeof tid, "%5d", static_cast<int>(syscall(SYS_gettid)));
  const std::regex line("([0-9]{2}):([0-5][0-9]):([0-5][0-9])\\.[0-9]{3}:(.+):(.{4}): (.*)");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(lines[0], m, line)) << lines[0];
  EXPECT_EQ(m[4].str(), tid);
  EXPECT_EQ(m[5].str(), "WARN");
  EXPECT_EQ(m[6].str(), "CTest::Run warned 1");
  ASSERT_TRUE(std::regex_match(lines[1], m, line)) << lines[1];
  EXPECT_EQ(m[5].str(), "ERR ");
  EXPECT_EQ(m[6].str(), "CTest::Run failed iRet = -1");

  TraceCapture::Clear();
  capture.Reconfigure("[Log]\nLevel = info\n[Mode]\nShowWindow = true\n");
  TraceLog(TRACE_INFO, "CTest::Run Entering");
  TraceLog(7, "CTest::Run odd level");
  lines = TraceCapture::Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find(":INFO: CTest::Run Entering"), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find(":INFO: CTest::Run odd level"), std::string::npos) << lines[1];
}

TEST(TraceLog, AMessageLongerThan1023CharactersIsDroppedEverywhere) {
  TraceCapture capture("[Log]\nLevel = info\npersist = true\n[Mode]\nShowWindow = true\n");
  const std::string fits(1023, 'a'), tooLong(1024, 'b'), huge(2000, 'c');
  TraceLog(TRACE_ERR, "%s", tooLong.c_str());
  TraceLog(TRACE_ERR, "%s", huge.c_str());
  EXPECT_TRUE(TraceCapture::Lines().empty());
  EXPECT_FALSE(Exists(capture.TraceFile()));
  TraceLog(TRACE_ERR, "%s", fits.c_str());
  ASSERT_EQ(TraceCapture::Messages(), std::vector<std::string>{fits});
  std::vector<std::string> file = FileLines(capture.TraceFile());
  ASSERT_EQ(file.size(), 2u);
  EXPECT_EQ(file[1].substr(file[1].size() - fits.size()), fits);
}

TEST(TraceLog, TheFirstWriteOfAProcessTruncatesOrAppendsAndStartsWithTheDate) {
  TraceCapture capture("[Log]\nLevel = info\npersist = true\n");
  testenv::WriteFile(capture.TraceFile(), "from an earlier run\n");
  TraceLog(TRACE_INFO, "CTest::Run one");
  TraceLog(TRACE_WARN, "CTest::Run two");
  EXPECT_TRUE(TraceCapture::Lines().empty());  // Not shown: nothing posted.
  std::vector<std::string> file = FileLines(capture.TraceFile());
  ASSERT_EQ(file.size(), 3u);
  EXPECT_TRUE(std::regex_match(file[0], kCtime)) << file[0];
  EXPECT_NE(file[1].find(":INFO: CTest::Run one"), std::string::npos) << file[1];
  EXPECT_NE(file[2].find(":WARN: CTest::Run two"), std::string::npos) << file[2];

  // The next process, with append set, keeps what is there.
  capture.Reconfigure("[Log]\nLevel = info\npersist = true\nappend = TRUE\n");
  TraceLog(TRACE_ERR, "CTest::Run three");
  file = FileLines(capture.TraceFile());
  ASSERT_EQ(file.size(), 5u);
  EXPECT_NE(file[2].find("CTest::Run two"), std::string::npos);
  EXPECT_TRUE(std::regex_match(file[3], kCtime)) << file[3];
  EXPECT_NE(file[4].find(":ERR : CTest::Run three"), std::string::npos) << file[4];
}

TEST(TraceLog, TheTraceFileFolderIsReadFromTheRegistryUntilFoundAndThenKept) {
  TraceCapture capture("[Log]\nLevel = info\npersist = true\n");
  const testenv::ScratchDir& dir = capture.Dir();
  testenv::WriteFile(capture.RegistryPath(), tracetest::RegistryText(dir.Path(), ""));
  TraceLog(TRACE_ERR, "CTest::Run lost");

  const std::string first = dir.File("first/logs");
  testenv::WriteFile(capture.RegistryPath(), tracetest::RegistryText(dir.Path(), first));
  TraceLog(TRACE_ERR, "CTest::Run found");
  std::vector<std::string> file = FileLines(first + "/ident/ident_log.txt");
  ASSERT_EQ(file.size(), 2u);  // The folder was created; the first write was still pending.
  EXPECT_TRUE(std::regex_match(file[0], kCtime)) << file[0];
  EXPECT_NE(file[1].find("CTest::Run found"), std::string::npos);

  const std::string second = dir.File("second");
  testenv::WriteFile(capture.RegistryPath(), tracetest::RegistryText(dir.Path(), second));
  TraceLog(TRACE_ERR, "CTest::Run kept");
  EXPECT_EQ(FileLines(first + "/ident/ident_log.txt").size(), 3u);
  EXPECT_FALSE(Exists(second));
}

TEST(TraceLog, APostedLineNeedsAnInstalledWindowAndIsACopyOfTheLine) {
  SetLogWindowPoster(nullptr);
  EXPECT_FALSE(PostLogLine("no window"));

  static std::string s_Posted;
  SetLogWindowPoster([](char* block) {
    s_Posted = block;
    free(block);
    return true;
  });
  EXPECT_TRUE(PostLogLine("12:00:00.000:    1:INFO: x"));
  EXPECT_EQ(s_Posted, "12:00:00.000:    1:INFO: x");
  // A window that refuses the message leaves the block with the writer,
  // which frees it (the sanitizer build notices a leak).
  SetLogWindowPoster([](char*) { return false; });
  EXPECT_FALSE(PostLogLine("refused"));
  SetLogWindowPoster(nullptr);

  // Shown but no window yet: the line still reaches the file.
  TraceCapture capture("[Log]\nLevel = info\npersist = true\n[Mode]\nShowWindow = true\n");
  SetLogWindowPoster(nullptr);
  TraceLog(TRACE_INFO, "CTest::Run before the window");
  EXPECT_TRUE(TraceCapture::Lines().empty());
  EXPECT_EQ(FileLines(capture.TraceFile()).size(), 2u);
}

// Points the transport log folder at a scratch folder and closes the shared
// file afterwards.
class TransportLog : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = getenv("VCI_IDENT_TRANSPORT_LOG_DIR");
    m_HadOld = old != nullptr;
    if (old) m_Old = old;
    CTransportLogger::CloseTransportLog();
    UseFolder(m_Dir.Path());
  }
  void TearDown() override {
    CTransportLogger::CloseTransportLog();
    if (m_HadOld)
      setenv("VCI_IDENT_TRANSPORT_LOG_DIR", m_Old.c_str(), 1);
    else
      unsetenv("VCI_IDENT_TRANSPORT_LOG_DIR");
  }
  void UseFolder(const std::string& folder) { setenv("VCI_IDENT_TRANSPORT_LOG_DIR", folder.c_str(), 1); }

  testenv::ScratchDir m_Dir;
  std::string m_Old;
  bool m_HadOld = false;
};

const char kStartLine[] = "######### Log File Started #########";

TEST_F(TransportLog, OneFilePerProgramAndDayWithAStartLineAtEachOpening) {
  time_t now = time(nullptr);
  struct tm tm;
  localtime_r(&now, &tm);
  char name[64];
  snprintf(name, sizeof name, "/host_tests_%d_%d.txt", tm.tm_mon + 1, tm.tm_mday);
  const std::string path = m_Dir.Path() + name;
  EXPECT_EQ(CTransportLogger::TransportLogPath(), path);

  CTransportLogger a, b;
  ASSERT_EQ(a.OpenTransportLog("client"), 0);
  ASSERT_EQ(b.OpenTransportLog("server"), 0);  // Shares the open file.
  a.TrnLog("sent %d bytes", 12);
  CTransportLogger::CloseTransportLog();
  ASSERT_EQ(b.OpenTransportLog(nullptr), 0);
  b.TrnLog("%s", "again");
  CTransportLogger::CloseTransportLog();

  std::vector<std::string> lines = FileLines(path);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], kStartLine);
  EXPECT_EQ(lines[2], kStartLine);
  std::smatch m;
  ASSERT_TRUE(std::regex_match(lines[1], m, std::regex("([0-9]+)\\.([0-9]{7}) sent 12 bytes"))) << lines[1];
  EXPECT_LE(std::abs(std::atol(m[1].str().c_str()) - static_cast<long>(now)), 5);
  EXPECT_TRUE(std::regex_match(lines[3], std::regex("[0-9]+\\.[0-9]{7} again"))) << lines[3];
}

TEST_F(TransportLog, AMessageOf256CharactersOrMoreIsNotWritten) {
  CTransportLogger logger;
  ASSERT_EQ(logger.OpenTransportLog("x"), 0);
  const std::string fits(255, 'f'), tooLong(256, 't');
  logger.TrnLog("%s", tooLong.c_str());
  logger.TrnLog("%s", fits.c_str());
  CTransportLogger::CloseTransportLog();
  std::vector<std::string> lines = FileLines(CTransportLogger::TransportLogPath());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1].substr(lines[1].find(' ') + 1), fits);
}

TEST_F(TransportLog, AMissingFolderDisablesEachLoggerOnItsFirstTryForGood) {
  const std::string folder = m_Dir.File("qmx-logs");
  UseFolder(folder);
  CTransportLogger early;
  EXPECT_EQ(early.OpenTransportLog("x"), -1);
  EXPECT_TRUE(early.IsDisabled());
  early.SetEcho(true);
  early.TrnLog("echoed to a runtime log that drops it");

  ASSERT_TRUE(boost::filesystem::create_directory(folder));
  EXPECT_EQ(early.OpenTransportLog("x"), -1);
  CTransportLogger late;
  EXPECT_EQ(late.OpenTransportLog("x"), 0);
  EXPECT_FALSE(late.IsDisabled());
  CTransportLogger::CloseTransportLog();
  EXPECT_EQ(FileLines(CTransportLogger::TransportLogPath()), std::vector<std::string>{kStartLine});
}

TEST(CServiceUtilities, TheRuntimeLogDropsEveryLine) {
  testenv::ScratchDir dir;
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(dir.Path().c_str()), 0);
  for (int level : {0, 1, 2, 9})
    CServiceUtilities::GetInstance().WriteLog(level, "CClientSocket::Connect failed %d", level);
  EXPECT_TRUE(boost::filesystem::is_empty(dir.Path()));
  ASSERT_EQ(chdir(cwd), 0);
}

TEST(CLogManager, RegistersChannelsOnceByTheirFirst31Characters) {
  CLogManager& m = CLogManager::GetInstance();
  EXPECT_FALSE(m.Register("", 1, 2, 3));
  EXPECT_FALSE(m.Register(nullptr, 1, 2, 3));
  ASSERT_TRUE(m.Register("client-system", 4, 0xFFFF, 1));
  const CLogManager::CChannel* c = m.Find("client-system");
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->m_wLevel, 4);
  EXPECT_EQ(c->m_wMask, 0xFFFF);
  EXPECT_EQ(c->m_bFlag, 1);
  EXPECT_TRUE(m.Register("client-system", 9, 9, 9));  // Already there: unchanged.
  EXPECT_EQ(m.Find("client-system")->m_wLevel, 4);

  const std::string longName = "a-channel-name-of-forty-characters-long!";
  ASSERT_EQ(longName.size(), 40u);
  ASSERT_TRUE(m.Register(longName.c_str(), 1, 2, 3));
  const CLogManager::CChannel* cut = m.Find(longName.substr(0, 31).c_str());
  ASSERT_NE(cut, nullptr);
  EXPECT_EQ(cut->m_sName, longName.substr(0, 31));
  EXPECT_EQ(m.Find(longName.c_str()), cut);
  EXPECT_EQ(m.Find("client"), nullptr);
}

}  // namespace
