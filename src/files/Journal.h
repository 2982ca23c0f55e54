#pragma once

#include <QString>

// Short lines about the relay's state for whoever runs it: standard error, which under systemd is
// the journal. There each line carries the sd-daemon priority prefix ("<3>" and so on) so that the
// journal files it at its priority; anywhere else the lines are plain text.
namespace Journal {

enum class Priority { Error = 3, Warning = 4, Info = 6 };

// One line (a line break inside is turned into a space, so one call is one journal entry).
void Write(Priority priority, const QString& text);
// Whether the lines carry the priority prefix: standard error is the journal (JOURNAL_STREAM).
bool IsJournal();
// Lines left out since the last line written, because standard error had no room (a pipe nobody
// reads): the next line that goes out is preceded by one saying how many.
qint64 Dropped();

} // namespace Journal
