#include "platform/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/Paths.h"

namespace platform {

namespace {

// mkostemp's pattern: it replaces the six X by letters and digits.
const char kTemporarySuffix[] = ".XXXXXX";
const size_t kTemporarySuffixLength = sizeof kTemporarySuffix - 1;

std::string FolderOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool WriteAll(int fd, const char* p, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Makes the rename itself durable. A folder that cannot be synced (some file
// systems refuse) still holds the new file; the replace has succeeded.
void SyncFolder(const std::string& folder) {
  int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  (void)fsync(fd);
  close(fd);
}

}  // namespace

bool ReplaceFileAtomically(const std::string& path, const void* data, size_t size) {
  if (path.empty() || path.back() == '/') return false;
  const std::string folder = FolderOf(path);
  CreateFolders(folder);
  std::string tmpl = path + kTemporarySuffix;
  std::vector<char> name(tmpl.begin(), tmpl.end());
  name.push_back('\0');
  int fd = mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  mode_t mode = stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0644;
  bool ok = fchmod(fd, mode) == 0 && WriteAll(fd, static_cast<const char*>(data), size) && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  ok = ok && rename(name.data(), path.c_str()) == 0;
  if (!ok) {
    unlink(name.data());
    return false;
  }
  SyncFolder(folder);
  return true;
}

bool TemporaryFileTarget(const std::string& name, std::string& target) {
  if (name.size() <= kTemporarySuffixLength) return false;
  const size_t dot = name.size() - kTemporarySuffixLength;
  if (name[dot] != '.') return false;
  for (size_t i = dot + 1; i < name.size(); ++i) {
    const char c = name[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) return false;
  }
  target = name.substr(0, dot);
  return true;
}

bool IsPlainFile(FILE* f) {
  struct stat st;
  return f != nullptr && fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace platform
