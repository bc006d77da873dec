// File operations that the service needs beyond plain stdio: replacing a
// file as one step for every reader, and telling a plain file from a folder
// or a device.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

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

}  // namespace platform
