// The systemd journal as a service under systemd meets it: its standard
// error (and output) is a stream into the journal, named by $JOURNAL_STREAM
// ("DEVICE:INODE" of that stream), and a line that begins with "<N>" is
// recorded at syslog priority N. Writing the prefixes ourselves needs no
// library, and a test reads them from a pipe as the journal would.
#pragma once

#include <cstddef>

namespace platform {

// Syslog priorities, as the journal shows and filters them
// (journalctl -p).
enum JournalPriority : int {
  JOURNAL_ERR = 3,
  JOURNAL_WARNING = 4,
  JOURNAL_NOTICE = 5,
  JOURNAL_INFO = 6,
};

// Whether fd is the journal stream that $JOURNAL_STREAM names. A program
// that merely inherited the variable (started from a service's shell, or by
// an application that runs under systemd) has another stream on fd, and
// writes plain lines there.
bool IsJournalStream(int fd);

// Writes "<priority>text\n" in one write, so that lines of several threads
// never mix; a line break inside text becomes a blank, as the journal would
// take the rest for a line of priority info.
void WriteJournalLine(int fd, int priority, const char* text, size_t length);

}  // namespace platform
