// Starting another program as the Windows shell does.
#pragma once

#include "platform/WinUser.h"

// Results of ShellExecuteA at or below 32 are errors.
enum : int { SE_ERR_FNF = 2, SE_ERR_ACCESSDENIED = 5, SE_ERR_OOM = 8, SE_ERR_NOASSOC = 31 };

// Starts lpFile with the verb "open" (the only one known): its arguments are
// lpParameters split at blanks, its working folder lpDirectory (the caller's
// when null or empty). Returns once the program runs, never waiting for it to
// end: a value above 32 on success, otherwise SE_ERR_FNF (no such file),
// SE_ERR_ACCESSDENIED (not executable, or the folder cannot be entered),
// SE_ERR_NOASSOC (another verb) or SE_ERR_OOM (no process could be made).
// The program is started through an intermediate process that this call
// reaps, so it is never a child of the caller: no zombie stays, and no
// SIGCHLD handling or reaper thread is needed. It gets a default signal set-up
// and none of the caller's descriptors beyond 0, 1 and 2. nShowCmd has no
// effect.
HINSTANCE ShellExecuteA(HWND hwnd, LPCSTR lpOperation, LPCSTR lpFile, LPCSTR lpParameters, LPCSTR lpDirectory,
                        int nShowCmd);
