#include "platform/Files.h"

#include <dirent.h>
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

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& out, uint64_t maxSize) {
  out.clear();
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  // Only a plain file has a size to check: a folder opens for reading too,
  // and its end offset on some file systems is a huge number.
  bool ok = IsPlainFile(f) && std::fseek(f, 0, SEEK_END) == 0;
  const long size = ok ? std::ftell(f) : -1;
  ok = ok && size >= 0 && static_cast<uint64_t>(size) <= maxSize && std::fseek(f, 0, SEEK_SET) == 0;
  if (ok) {
    out.resize(static_cast<size_t>(size));
    ok = size == 0 || std::fread(out.data(), 1, out.size(), f) == out.size();
  }
  std::fclose(f);
  if (!ok) out.clear();
  return ok;
}

uint64_t PlainFileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
}

bool OpensForReading(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "r");
  if (f == nullptr) return false;
  std::fclose(f);
  return true;
}

bool CreateFileIfMissing(const std::string& path) {
  if (OpensForReading(path)) return true;
  FILE* f = std::fopen(path.c_str(), "w");
  if (f == nullptr) return false;
  std::fclose(f);
  return OpensForReading(path);
}

// remove() rather than unlink(): an empty folder in a file's place goes too.
bool RemoveFile(const std::string& path) { return std::remove(path.c_str()) == 0; }

std::map<std::string, std::string> FolderEntries(const std::string& folder) {
  std::map<std::string, std::string> entries;
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return entries;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") entries.emplace(name, JoinPath(folder, name));
  }
  closedir(dir);
  return entries;
}

bool CAppendFile::Open(const std::string& path, bool truncate) {
  Close();
  m_File = std::fopen(path.c_str(), truncate ? "w+" : "a+");
  return m_File != nullptr;
}

void CAppendFile::Write(const char* data, size_t size) {
  if (m_File == nullptr) return;
  std::fwrite(data, 1, size, m_File);
  std::fflush(m_File);
}

void CAppendFile::Close() {
  if (m_File != nullptr) std::fclose(m_File);
  m_File = nullptr;
}

}  // namespace platform
