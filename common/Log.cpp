#include "Log.h"

#include <cstdarg>
#include <cstdio>
#include <syslog.h>

namespace {
LogSink gSink = nullptr;
}

void vlmLog(int priority, const char *format, ...) {
    va_list args;
    va_start(args, format);
    if (gSink == nullptr) {
        vsyslog(priority, format, args);
    } else {
        char message[1024];
        std::vsnprintf(message, sizeof message, format, args);
        gSink(priority, message);
    }
    va_end(args);
}

LogSink setLogSink(LogSink sink) {
    LogSink previous = gSink;
    gSink = sink;
    return previous;
}
