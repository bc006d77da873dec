// The trace log, the transport log and the log channels.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <boost/filesystem.hpp>
#include <unistd.h>

#include "common/TestEnv.h"
#include "host/IdentConfig.h"
#include "host/LogManager.h"
#include "host/MainWindowHandle.h"
#include "host/ServiceUtilities.h"
#include "host/TraceCapture.h"
#include "host/TraceLog.h"
#include "host/TransportLogger.h"
#include "platform/Kernel.h"

namespace {

using tracetest::TraceCapture;

std::vector<std::string> FileLines(const std::string& path) {
  std::vector<std::string> lines;
  std::istringstream in(testenv::ReadFile(path));
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

// "Mon Dec  7 01:02:03 2026"
const char kCtime[] = "[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}";

// As many lines as patterns, each matching the pattern in its place.
void ExpectLinesMatch(const std::vector<std::string>& lines, const std::vector<std::string>& patterns) {
  ASSERT_EQ(lines.size(), patterns.size());
  for (size_t i = 0; i < lines.size(); ++i)
    EXPECT_TRUE(std::regex_match(lines[i], std::regex(patterns[i]))) << lines[i];
}

TEST(TraceLog, LinesBelowTheLevelAreDroppedAndTheRestCarryTimeThreadAndLevel) {
  TraceCapture capture("[Log]\nLevel = info\n");
  TraceLog(TRACE_ERR, "CTest::Run neither shown nor persisted");
  EXPECT_TRUE(TraceCapture::Lines().empty());
  EXPECT_FALSE(boost::filesystem::exists(capture.Dir().File("ident")));

  capture.Reconfigure("[Log]\nLevel = warn\n[Mode]\nShowWindow = true\n");
  TraceLog(TRACE_INFO, "CTest::Run dropped");
  TraceLog(TRACE_WARN, "CTest::Run warned %d", 1);
  TraceLog(TRACE_ERR, "CTest::Run failed iRet = %d", -1);
  TraceLog(7, "CTest::Run odd level");
  // The runtime log hands its errors to the trace log as they are, and
  // writes nothing below its threshold.
  CServiceUtilities::GetInstance().WriteLog(CServiceUtilities::LOG_WARN, "CTest::Run runtime warning");
  CServiceUtilities::GetInstance().WriteLog(CServiceUtilities::LOG_ERR, "CTest::Run runtime error %d", 2);
  char tid[16];
  snprintf(tid, sizeof tid, "%5d", static_cast<int>(GetCurrentThreadId()));
  const std::string t = "[0-9]{2}:[0-5][0-9]:[0-5][0-9]\\.[0-9]{3}:" + std::string(tid);
  ExpectLinesMatch(TraceCapture::Lines(), {t + ":WARN: CTest::Run warned 1", t + ":ERR : CTest::Run failed iRet = -1",
                                           t + ":INFO: CTest::Run odd level", t + ":ERR : CTest::Run runtime error 2"});
}

// A shown line that no window takes still reaches the file; a window that
// refuses the message leaves the block with the writer, which frees it (the
// sanitizer build notices a leak).
TEST(TraceLog, TheFirstWriteOfAProcessTruncatesOrAppendsAndStartsWithTheDate) {
  SetLogWindowPoster([](char*) { return false; });
  EXPECT_FALSE(PostLogLine("refused"));
  TraceCapture capture("[Log]\nLevel = info\npersist = true\n[Mode]\nShowWindow = true\n");
  SetLogWindowPoster(nullptr);
  testenv::WriteFile(capture.TraceFile(), "from an earlier run\n");
  // A message longer than 1023 characters is dropped everywhere: not even
  // the first write's truncation happens.
  TraceLog(TRACE_ERR, "%s", std::string(1024, 'b').c_str());
  EXPECT_EQ(testenv::ReadFile(capture.TraceFile()), "from an earlier run\n");
  TraceLog(TRACE_INFO, "CTest::Run one");
  TraceLog(TRACE_WARN, "%s", std::string(1023, 'a').c_str());
  EXPECT_TRUE(TraceCapture::Lines().empty());  // No window: nothing posted.
  // The next process, with append set, keeps what is there.
  capture.Reconfigure("[Log]\nLevel = info\npersist = true\nappend = TRUE\n");
  TraceLog(TRACE_ERR, "CTest::Run three");
  ExpectLinesMatch(FileLines(capture.TraceFile()),
                   {kCtime, ".*:INFO: CTest::Run one", ".*:WARN: a{1023}", kCtime, ".*:ERR : CTest::Run three"});
}

// Under systemd the journal takes warnings and errors whatever ident.ini
// says, each line with its priority, and a routine line that the design logs
// at ERR at the priority of its meaning; with ShowWindow it takes every line
// that the level lets through, and the window none.
TEST(TraceLog, TheJournalTakesEachLineAtItsPriorityBesideTheDesignedSinks) {
  TraceCapture capture("[Log]\nLevel = error\n");
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  SetTraceJournal(fds[1]);
  const char kRoutine[] = "CClientConnectionMgr::Run Shutdown in process. Exiting Notify Thread";
  TraceLog(TRACE_INFO, "CTest::Run not for the journal");
  TraceLog(TRACE_WARN, "CTest::Run warned %d", 1);
  TraceLog(TRACE_ERR, kRoutine);
  TraceLog(TRACE_ERR, "CTest::Run failed\nbadly");
  capture.Reconfigure("[Log]\nLevel = info\n[Mode]\nShowWindow = true\n");
  TraceLog(TRACE_INFO, "CTest::Run shown");
  TraceLog(TRACE_ERR, kRoutine);
  SetTraceJournal(-1);
  close(fds[1]);
  std::string journal;
  char chunk[256];
  for (ssize_t n; (n = read(fds[0], chunk, sizeof chunk)) > 0;) journal.append(chunk, static_cast<size_t>(n));
  close(fds[0]);
  EXPECT_EQ(journal, "<4>CTest::Run warned 1\n<3>CTest::Run failed badly\n<6>CTest::Run shown\n<6>" +
                         std::string(kRoutine) + "\n");
  EXPECT_TRUE(TraceCapture::Lines().empty());
}

TEST(TraceLog, TheTraceFileFolderIsReadFromTheRegistryUntilFoundAndThenKept) {
  TraceCapture capture("[Log]\nLevel = info\npersist = true\n");
  const testenv::ScratchDir& dir = capture.Dir();
  for (const char* folder : {"", "first/logs", "second"}) {
    testenv::WriteFile(capture.RegistryPath(), tracetest::RegistryText(dir.Path(), *folder ? dir.File(folder) : ""));
    TraceLog(TRACE_ERR, "CTest::Run %s", folder);
  }
  // The folder was created; the first write was still pending.
  ExpectLinesMatch(FileLines(dir.File("first/logs/ident/ident_log.txt")),
                   {kCtime, ".*CTest::Run first/logs", ".*CTest::Run second"});
  EXPECT_FALSE(boost::filesystem::exists(dir.File("second")));
}

// The trace file stays open between lines: moved away, it takes them until
// the configuration is read again, which opens the file anew. The lines of
// concurrent threads stand whole, each thread's in its order, all in the
// order of their times.
TEST(TraceLog, TheTraceFileStaysOpenUntilTheConfigurationIsReadAgain) {
  TraceCapture capture("[Log]\nLevel = info\npersist = true\n");
  TraceLog(TRACE_INFO, "CTest::Run before the move");
  const std::string moved = capture.TraceFile() + ".1";
  ASSERT_EQ(std::rename(capture.TraceFile().c_str(), moved.c_str()), 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < 50; ++i) TraceLog(TRACE_WARN, "CTest::Run thread %d line %d", t, i);
    });
  for (std::thread& t : threads) t.join();
  CIdentConfig::GetInstance().Reload();
  TraceLog(TRACE_ERR, "CTest::Run after the reload");
  ExpectLinesMatch(FileLines(capture.TraceFile()), {".*:ERR : CTest::Run after the reload"});
  const std::vector<std::string> lines = FileLines(moved);
  ASSERT_EQ(lines.size(), 203u);
  EXPECT_TRUE(std::regex_match(lines[202], std::regex(".*:INFO: Log file has changed. Reloading")));
  int next[4] = {0, 0, 0, 0};
  for (size_t i = 2; i < 202; ++i) {
    int t = -1, n = -1;
    ASSERT_EQ(std::sscanf(lines[i].substr(lines[i].find("CTest")).c_str(), "CTest::Run thread %d line %d", &t, &n), 2);
    ASSERT_TRUE(t >= 0 && t < 4);
    EXPECT_EQ(n, next[t]++) << lines[i];
    EXPECT_LE(lines[i - 1].substr(0, 12), lines[i].substr(0, 12));
  }
}

TEST(TransportLog, OneFilePerProgramAndDayOpenedOnlyWhenItsFolderExists) {
  testenv::ScratchDir dir;
  const std::string folder = dir.File("qmx-logs");
  setenv("VCI_IDENT_TRANSPORT_LOG_DIR", folder.c_str(), 1);
  CTransportLogger early;
  EXPECT_EQ(early.OpenTransportLog("x"), -1);
  ASSERT_TRUE(boost::filesystem::create_directory(folder));
  EXPECT_EQ(early.OpenTransportLog("x"), -1);  // Disabled for good.

  time_t now = time(nullptr);
  struct tm tm;
  localtime_r(&now, &tm);
  const std::string path = folder + "/host_tests_" + std::to_string(tm.tm_mon + 1) + "_" +
                           std::to_string(tm.tm_mday) + ".txt";
  EXPECT_EQ(CTransportLogger::TransportLogPath(), path);
  CTransportLogger a, b;
  ASSERT_EQ(a.OpenTransportLog("client"), 0);
  ASSERT_EQ(b.OpenTransportLog("server"), 0);  // Shares the open file.
  a.TrnLog("sent %d bytes", 12);
  a.TrnLog("%s", std::string(256, 't').c_str());  // Too long: not written.
  CTransportLogger::CloseTransportLog();
  ASSERT_EQ(b.OpenTransportLog(nullptr), 0);
  b.TrnLog("%s", std::string(255, 'f').c_str());
  CTransportLogger::CloseTransportLog();
  unsetenv("VCI_IDENT_TRANSPORT_LOG_DIR");

  const std::vector<std::string> lines = FileLines(path);
  const std::string started = "######### Log File Started #########";
  ExpectLinesMatch(lines, {started, "[0-9]+\\.[0-9]{7} sent 12 bytes", started, "[0-9]+\\.[0-9]{7} f{255}"});
  EXPECT_LE(std::abs(std::atol(lines.at(1).c_str()) - static_cast<long>(now)), 5) << "seconds since 1970";
}

TEST(CLogManager, RegistersChannelsOnceByTheirFirst31Characters) {
  CLogManager& m = CLogManager::GetInstance();
  EXPECT_FALSE(m.Register("", 1, 2, 3));
  EXPECT_FALSE(m.Register(nullptr, 1, 2, 3));
  const std::string longName(40, 'n');
  ASSERT_TRUE(m.Register(longName.c_str(), 4, 0xFFFF, 1));
  EXPECT_TRUE(m.Register(longName.substr(0, 31).c_str(), 9, 9, 9));  // Already there: unchanged.
  const CLogManager::CChannel* c = m.Find(longName.c_str());
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->m_sName + " " + std::to_string(c->m_wLevel), longName.substr(0, 31) + " 4");
  EXPECT_EQ(m.Find("nnn"), nullptr);
}

}  // namespace
