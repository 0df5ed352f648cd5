#pragma once

// Everything the daemon reports goes to syslog through here. Tests install a
// sink to see the messages; without one they go to vsyslog(3).
void vlmLog(int priority, const char *format, ...) __attribute__((format(printf, 2, 3)));

using LogSink = void (*)(int priority, const char *message);
// Returns the previous sink; null restores syslog.
LogSink setLogSink(LogSink sink);
