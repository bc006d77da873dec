// The registry: one text file in the Windows registry export format, named by
// $VCI_IDENT_REGISTRY (default /etc/vci-ident/registry.reg), in UTF-8 or, as
// the Windows registry editor exports it, UTF-16LE with a byte-order mark
// (the writers below write UTF-8). The operations
// mirror their Windows namesakes, result codes included, so that callers read
// as they would against the real registry:
//   0 success, 2 missing file, key or value, 234 value larger than the
//   caller's buffer (a string needs its length + 1 bytes), 13 a file that
//   cannot be parsed (logged once with the line number).
// The file is read afresh at every open, so an edit takes effect at the next
// read. Key paths and value names compare case-insensitively.
#pragma once

#include <string>

#include "platform/Event.h"
#include "platform/WinTypes.h"

struct RegistryKeyImpl;
typedef RegistryKeyImpl* HKEY;
typedef HKEY* PHKEY;
typedef DWORD REGSAM;

// Predefined root keys; only HKEY_LOCAL_MACHINE is in use.
extern const HKEY HKEY_LOCAL_MACHINE;

enum : REGSAM { KEY_READ = 0x20019, KEY_WRITE = 0x20006, KEY_ALL_ACCESS = 0xF003F };
enum : DWORD { REG_NONE = 0, REG_SZ = 1, REG_DWORD = 4 };
enum : DWORD { REG_NOTIFY_CHANGE_LAST_SET = 4 };

// The keys that the service reads.
extern const char* const VCI_REGISTRY_KEY;        // "SOFTWARE\\KIVO\\KIVO_VCI"
extern const char* const BT_STACK_REGISTRY_KEY;   // "SOFTWARE\\TOSHIBA\\BluetoothStack\\V1.0"

// Opens hKey\lpSubKey. The key must exist in the file (2 otherwise); the
// returned handle holds a snapshot of the key's values taken at this call.
LONG RegOpenKeyEx(HKEY hKey, const char* lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);

// Reads a value of an open key. lpType, lpData and lpcbData may be null as on
// Windows; with lpData null the size is reported in *lpcbData. A REG_SZ value
// is copied with its terminator; a REG_DWORD reads as 4 bytes little-endian.
LONG RegQueryValueEx(HKEY hKey, const char* lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                     LPDWORD lpcbData);

LONG RegCloseKey(HKEY hKey);


// Arms a one-shot notification: the next change of the registry file signals
// hEvent once. Asynchronous only (fAsynchronous must be true).
LONG RegNotifyChangeKeyValue(HKEY hKey, BOOL bWatchSubtree, DWORD dwNotifyFilter, CEvent* hEvent,
                             BOOL fAsynchronous);

namespace platform {

// The call of a registry read that failed.
enum class RegistryStep { NONE, OPEN, QUERY, CLOSE };

// Reads one value the way every reader of the service's settings does: open
// HKEY_LOCAL_MACHINE\key for reading, query the value into a zeroed buffer of
// bufferSize bytes (each reader has its own size: a text that does not fit
// answers 234), close the key. Returns ERROR_SUCCESS or the code of the first
// call that failed, which *failed names (for readers that log the open and
// the query differently); the output is untouched on failure.
// ReadRegistryString takes the text up to the first NUL; a value that is no
// string fails the query with ERROR_INVALID_DATA.
LONG ReadRegistryString(const char* name, DWORD bufferSize, std::string& text, RegistryStep* failed = nullptr,
                        const char* key = VCI_REGISTRY_KEY);
// ReadRegistryDword takes the first four bytes of the buffer, little-endian,
// whatever the value's type, as a reader with a DWORD-sized view of its
// buffer does on Windows.
LONG ReadRegistryDword(const char* name, DWORD bufferSize, DWORD& value, RegistryStep* failed = nullptr,
                       const char* key = VCI_REGISTRY_KEY);

// Path of the registry file in force ($VCI_IDENT_REGISTRY or the default).
std::string RegistryFilePath();

// Why a read of the value name under HKEY_LOCAL_MACHINE\key failed with code
// at step, for a person: "the registry file /etc/vci-ident/registry.reg
// does not exist", "... has no value \"Brand\" under HKEY_LOCAL_MACHINE\...",
// or the line that does not parse.
std::string DescribeRegistryFailure(LONG code, RegistryStep step, const char* name,
                                    const char* key = VCI_REGISTRY_KEY);

// Writers used by the provisioning tool. keyPath is the full path as written
// in a section header, root included ("HKEY_LOCAL_MACHINE\\SOFTWARE\\KIVO\\KIVO_VCI"). Each rewrites the whole file
// with ReplaceFileAtomically and keeps every other key, value and comment
// line. The key, the file and its folder are created when missing.
LONG RegistrySetString(const std::string& keyPath, const std::string& name, const std::string& value);
LONG RegistrySetDword(const std::string& keyPath, const std::string& name, DWORD value);
LONG RegistryDeleteValue(const std::string& keyPath, const std::string& name);

}  // namespace platform
