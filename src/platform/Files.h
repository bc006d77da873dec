// Every file access of the service goes through here: whole-file reads and
// atomic replacement (records, caches, configuration), folder listings, the
// empty files that the Bluetooth lists start from, and the append-only text
// files of the logs. The rest of the service holds no FILE, stream or
// descriptor of a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace platform {

// Replaces the file at path with the bytes given, creating missing folders.
// The bytes go to a temporary file beside it whose name is unique to this
// writer, are flushed to the disk, and the temporary file is renamed over
// path: a reader sees the old content or the new, whole, even across a crash
// or a power loss, and writers of the same path (the service and the
// provisioning tool) never write into each other's temporary file; the
// last rename wins. On failure the temporary file is removed and path is
// left as it was. An existing file keeps its permissions; a new one gets
// 0644. True on success.
bool ReplaceFileAtomically(const std::string& path, const void* data, size_t size);
inline bool ReplaceFileAtomically(const std::string& path, const std::string& data) {
  return ReplaceFileAtomically(path, data.data(), data.size());
}

// True when name (a file name without folder) is one that
// ReplaceFileAtomically gives the temporary file of a file named target: the
// target's name, a dot and six letters or digits. target receives that name.
// Such a file outlives its write only when the writer was killed mid-way.
bool TemporaryFileTarget(const std::string& name, std::string& target);

// True when the open stream reads a plain file: a folder opens for reading
// too, and a device or a pipe has no size to load.
bool IsPlainFile(FILE* f);

// Reads the whole of a plain file of at most maxSize bytes into out. False,
// with out empty, for anything else: a missing or unreadable file, a folder,
// a device or a pipe (which have no size to check first), or a longer file,
// of which nothing is read.
bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& out, uint64_t maxSize);

// The size of a plain file; 0 for anything else.
uint64_t PlainFileSize(const std::string& path);

// True when path opens for reading (a folder does too).
bool OpensForReading(const std::string& path);

// Leaves a file that opens for reading as it is, and otherwise creates it
// empty (truncating one that exists but cannot be read). True when the file
// opens for reading afterwards.
bool CreateFileIfMissing(const std::string& path);

// Removes a file (or an empty folder in its place); true when it was removed.
bool RemoveFile(const std::string& path);

// The entries of a folder, not of its subfolders: name -> path, in name
// order. Empty when the folder cannot be read.
std::map<std::string, std::string> FolderEntries(const std::string& folder);

// A text file that lines are appended to, each written whole and flushed at
// once, so that a reader or a crash never finds half of a line. Not
// thread-safe: its owner's lock serialises the calls.
class CAppendFile {
 public:
  CAppendFile() = default;
  ~CAppendFile() { Close(); }
  CAppendFile(const CAppendFile&) = delete;
  CAppendFile& operator=(const CAppendFile&) = delete;

  // Opens path for appending, emptied first when truncate is set. False when
  // it cannot be opened (a missing folder is not created).
  bool Open(const std::string& path, bool truncate);
  bool IsOpen() const { return m_File != nullptr; }
  // Writes size bytes and flushes them; nothing when the file is not open.
  void Write(const char* data, size_t size);
  void Write(const std::string& text) { Write(text.data(), text.size()); }
  void Close();

 private:
  FILE* m_File = nullptr;
};

}  // namespace platform
