// Path helpers: every path of the service is joined with '/', and the few
// folders the design names by drive letter come from the environment.
#pragma once

#include <string>

#include "platform/WinTypes.h"

namespace platform {

// folder + '/' + name (no doubled separator when folder ends with '/').
std::string JoinPath(const std::string& folder, const std::string& name);
// $VCI_IDENT_TRANSPORT_LOG_DIR or /var/log/qmx-logs/, always ending in '/'.
std::string TransportLogFolder();
// Base name of /proc/self/exe; "vci-main" when it cannot be read.
std::string ProgramFileName();
// Creates a folder with all missing parents; true when it exists afterwards.
bool CreateFolders(const std::string& path);
// Last-write time of a file as a broken-down UTC system time; false when the
// file does not exist.
bool GetFileLastWriteTime(const std::string& path, SYSTEMTIME& time);

}  // namespace platform
