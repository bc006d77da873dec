// The priority at which the journal records a trace line. The trace keeps
// every designed line at its designed level; the journal, read by an
// administrator (journalctl -p warning), gets each line at the priority a
// person would expect: ERR as err, WARN as warning, INFO as info, except
// the lines of the table in JournalPriority.cpp, which the design logs at a
// level that does not say what they mean (a routine stop at ERR, the
// service's own start and stop lines at WARN so that every trace level
// keeps them).
#pragma once

// The syslog priority (platform::JournalPriority) of a line of that level
// written from that format. INFO lines are never looked up.
int JournalPriorityOf(int level, const char* format);
