// The seam between the trace log and the main window. The trace log hands
// each line to the installed poster, which posts the log-line message
// (WM_LOGLINE, the block as wParam) to the main window; the window procedure
// adds the line to its output list and frees the block with GlobalFree. The
// host installs a poster when the output list exists and removes it (nullptr)
// before the window goes; with no poster installed nothing is posted.
#pragma once

#include "platform/WinUser.h"

enum : UINT { WM_LOGLINE = WM_USER + 10 };

// Takes ownership of block (a fixed, zero-initialised GlobalAlloc block
// holding the line) when it returns true; must not block (it runs under the
// trace lock).
typedef bool (*LogLinePoster)(char* block);

void SetLogWindowPoster(LogLinePoster poster);
// Copies line into a new block and hands it to the poster; false (and the
// block freed) when none is installed or the post failed.
bool PostLogLine(const char* line);
