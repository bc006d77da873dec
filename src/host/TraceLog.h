// The trace log: the service's own diagnostic lines. Every component writes
// "Class::Method text" lines through TraceLog at one of three levels; the
// configuration decides whether a line reaches the main window's output list,
// the trace file "ident_log.txt", both or neither, and hands its decision to
// the log (SetTraceSinks): the log never reads the configuration, so that a
// line costs a few atomic loads when no sink takes it.
//
// The trace file is opened at its first line and kept open; each line is
// written and flushed whole under one process-wide lock, which also takes
// the line's time, so that the lines of all threads stand in the order of
// their times. A hand-over that says so (the configuration was read again)
// closes the file, and the next line opens it again.
//
// A service under systemd has a third sink, the journal, with a threshold
// of its own: every line whose journal priority (JournalPriority.h) is
// notice or above, whatever ident.ini says, so that warnings and errors are
// never lost; with ShowWindow also every line that the trace level lets
// through. There the journal is the output window: lines are not posted to
// the window as well. Each sink's threshold is checked before the line is
// formatted.
#pragma once

#include <string>

enum { TRACE_INFO = 0, TRACE_WARN = 1, TRACE_ERR = 2 };

// printf-style. A message longer than 1023 characters is dropped everywhere.
void TraceLog(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The sinks as the configuration decides them: the trace level, the window
// (ShowWindow), the trace file (persist) and whether the process's first
// write appends to it. reopen closes the trace file, so that the next line
// opens it again (the configuration was read again: the administrator may
// have moved the file away). Until the first hand-over no sink but the
// journal takes a line.
void SetTraceSinks(int level, bool show, bool persist, bool append, bool reopen);

// Closes the trace file, forgets its path and makes the next line the
// process's first write again (tests; the service computes the path once per
// process).
void ResetTraceLogState();

// Makes every later trace line of this process a no-op. For programs that
// only inspect the installation (the provisioning tool): their lines would
// land in the service's own trace file and, at their first write, truncate it.
void SetTraceLogSilenced(bool silenced);

// A line at ERR that says why the service cannot start (no registry, no
// brand, no control port). The first one of the process is also kept, so
// that a start that fails can name its cause on standard error when the
// journal does not have it already.
void TraceStartFailure(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The first such line's message; empty when there was none.
std::string GetStartFailure();

// The journal sink: the descriptor of the journal stream, -1 (the default)
// for none. Set it before the first line of the process.
void SetTraceJournal(int fd);
bool IsTraceJournalOn();

// The sinks that take lines now and from which level, for the service's
// start line: "journal from WARN, file /var/log/vci-ident/ident/ident_log.txt
// from ERROR", "none".
std::string TraceSinksText();
