#include "platform/Journal.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace platform {

bool IsJournalStream(int fd) {
  const char* stream = getenv("JOURNAL_STREAM");
  unsigned long long device = 0, inode = 0;
  struct stat st;
  if (!stream || std::sscanf(stream, "%llu:%llu", &device, &inode) != 2 || fstat(fd, &st) != 0) return false;
  return static_cast<unsigned long long>(st.st_dev) == device && static_cast<unsigned long long>(st.st_ino) == inode;
}

void WriteJournalLine(int fd, int priority, const char* text, size_t length) {
  std::string line = "<" + std::to_string(priority) + ">";
  line.append(text, length);
  for (size_t i = 3; i < line.size(); ++i)
    if (line[i] == '\n') line[i] = ' ';
  line.push_back('\n');
  for (size_t done = 0; done < line.size();) {
    const ssize_t n = write(fd, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // the journal gone: nobody to tell
    done += static_cast<size_t>(n);
  }
}

}  // namespace platform
