// The trace log: the service's own diagnostic lines. Every component writes
// "Class::Method text" lines through TraceLog at one of three levels; the
// configuration decides whether a line reaches the main window's output list,
// the trace file "ident_log.txt", both or neither.
#pragma once

enum { TRACE_INFO = 0, TRACE_WARN = 1, TRACE_ERR = 2 };

// printf-style. A message longer than 1023 characters is dropped everywhere.
void TraceLog(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Forgets the trace-file path and makes the next line the process's first
// write again (tests; the service computes the path once per process).
void ResetTraceLogState();

// Makes every later trace line of this process a no-op. For programs that
// only inspect the installation (the provisioning tool): their lines would
// land in the service's own trace file and, at their first write, truncate it.
void SetTraceLogSilenced(bool silenced);
