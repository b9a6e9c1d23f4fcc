// The event log: writer.log in the application folder, one UTF-8 line per event.
#pragma once

// Appends one time-stamped line. Never fails visibly: a line that cannot be
// written is dropped.
void write_log(const wchar_t *format, ...);
