// The five trace kinds through which the dump handler reports.
//
// Syslog, error and fatal traces always go to syslog with priority 14
// (LOG_USER | LOG_INFO, errors included). Function and line debug traces are
// LTTng-UST events, formatted only while a session has the event enabled.
// Every message is formatted into its own 256-character buffer on the stack.
#ifndef ZOL_URDA_TRACE_H
#define ZOL_URDA_TRACE_H

#include <cstddef>
#include <cstdint>

#include "zolUrdaDumpHandlerTp.h"

// The chip being handled; 255 until the chip loop selects the first chip.
extern uint32_t currentMosaId;

constexpr uint32_t kNoMosaSelected = 255;
constexpr size_t kTraceMessageSize = 256;

// Formats a printf-style message into buf (truncated to size - 1 characters)
// and returns buf.
char *formatTraceMessage(char *buf, size_t size, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

// The syslog line formats, one per syslog kind.
extern const char kSyslogTraceFormat[];
extern const char kErrorTraceFormat[];
extern const char kFatalTraceFormat[];

void writeSyslogTrace(const char *lineFormat, const char *file, int line, const char *format, ...)
    __attribute__((format(printf, 4, 5)));
[[noreturn]] void writeFatalTrace(const char *file, int line, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

// Base name of a source path, so traces report the file without directories.
constexpr const char *sourceBaseName(const char *path)
{
    const char *base = path;
    for (const char *p = path; *p != '\0'; ++p) {
        if (*p == '/') {
            base = p + 1;
        }
    }
    return base;
}

#define ZOL_TRACE_FILE sourceBaseName(__FILE__)

#define ZOL_SYSLOG_TRACE(...) writeSyslogTrace(kSyslogTraceFormat, ZOL_TRACE_FILE, __LINE__, __VA_ARGS__)
#define ZOL_ERROR_TRACE(...) writeSyslogTrace(kErrorTraceFormat, ZOL_TRACE_FILE, __LINE__, __VA_ARGS__)
#define ZOL_FATAL_TRACE(...) writeFatalTrace(ZOL_TRACE_FILE, __LINE__, __VA_ARGS__)

// A disabled debug trace costs one test of the event's state word: neither
// the file name nor the message nor the caller's arguments are evaluated.
#define ZOL_DEBUG_TRACE(eventName, ...)                                                          \
    do {                                                                                         \
        if (lttng_ust_tracepoint_enabled(com_quorvel_zol_urdadumphdl, eventName)) {              \
            char zolTraceMessage[kTraceMessageSize];                                             \
            lttng_ust_do_tracepoint(com_quorvel_zol_urdadumphdl, eventName, ZOL_TRACE_FILE,      \
                                    __LINE__, static_cast<int>(currentMosaId),                   \
                                    formatTraceMessage(zolTraceMessage, sizeof zolTraceMessage,  \
                                                       __VA_ARGS__));                            \
        }                                                                                        \
    } while (0)

#define ZOL_FUNC_DEBUG_TRACE(...) ZOL_DEBUG_TRACE(UrdaFuncDebugEvent, __VA_ARGS__)
#define ZOL_LINE_DEBUG_TRACE(...) ZOL_DEBUG_TRACE(UrdaLineDebugEvent, __VA_ARGS__)

#endif // ZOL_URDA_TRACE_H
