#include "platform/Paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>

#include <boost/filesystem.hpp>

namespace platform {

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  if (folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

std::string TransportLogFolder() {
  const char* env = getenv("VCI_IDENT_TRANSPORT_LOG_DIR");
  std::string folder = env && *env ? env : "/var/log/qmx-logs/";
  if (folder.back() != '/') folder += '/';
  return folder;
}

std::string ProgramFileName() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "vci-main";
  std::string path(buf, static_cast<size_t>(n));
  std::string name = path.substr(path.find_last_of('/') + 1);
  return name.empty() ? "vci-main" : name;
}

bool CreateFolders(const std::string& path) {
  boost::system::error_code ec;
  boost::filesystem::create_directories(path, ec);
  return boost::filesystem::is_directory(path, ec);
}

bool GetFileLastWriteTime(const std::string& path, SYSTEMTIME& time) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return false;
  struct tm tm;
  gmtime_r(&st.st_mtim.tv_sec, &tm);
  time.wYear = static_cast<WORD>(tm.tm_year + 1900);
  time.wMonth = static_cast<WORD>(tm.tm_mon + 1);
  time.wDayOfWeek = static_cast<WORD>(tm.tm_wday);
  time.wDay = static_cast<WORD>(tm.tm_mday);
  time.wHour = static_cast<WORD>(tm.tm_hour);
  time.wMinute = static_cast<WORD>(tm.tm_min);
  time.wSecond = static_cast<WORD>(tm.tm_sec);
  time.wMilliseconds = static_cast<WORD>(st.st_mtim.tv_nsec / 1000000);
  return true;
}

}  // namespace platform
