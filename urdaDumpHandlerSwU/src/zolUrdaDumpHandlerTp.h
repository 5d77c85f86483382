/*
 * LTTng-UST tracepoint provider of the cold restart dump handler.
 *
 * Five events share one field layout: the call site's source file base name
 * and line, the chip being handled and the formatted message. Only the two
 * debug events are emitted; the other three exist so that a tracing session
 * can list and enable the whole provider.
 */
#undef LTTNG_UST_TRACEPOINT_PROVIDER
#define LTTNG_UST_TRACEPOINT_PROVIDER com_quorvel_zol_urdadumphdl

#undef LTTNG_UST_TRACEPOINT_INCLUDE
#define LTTNG_UST_TRACEPOINT_INCLUDE "zolUrdaDumpHandlerTp.h"

#if !defined(ZOL_URDA_DUMP_HANDLER_TP_H) || defined(LTTNG_UST_TRACEPOINT_HEADER_MULTI_READ)
#define ZOL_URDA_DUMP_HANDLER_TP_H

#include <lttng/tracepoint.h>

LTTNG_UST_TRACEPOINT_EVENT_CLASS(
    com_quorvel_zol_urdadumphdl, UrdaEvent,
    LTTNG_UST_TP_ARGS(const char *, file, int, line, int, mosaId, const char *, msg),
    LTTNG_UST_TP_FIELDS(
        lttng_ust_field_string(file, file)
        lttng_ust_field_integer(int, line, line)
        lttng_ust_field_integer(int, mosaId, mosaId)
        lttng_ust_field_string(msg, msg)))

#define ZOL_URDA_EVENT(eventName, logLevel)                                                       \
    LTTNG_UST_TRACEPOINT_EVENT_INSTANCE(                                                          \
        com_quorvel_zol_urdadumphdl, UrdaEvent, com_quorvel_zol_urdadumphdl, eventName,          \
        LTTNG_UST_TP_ARGS(const char *, file, int, line, int, mosaId, const char *, msg))         \
    LTTNG_UST_TRACEPOINT_LOGLEVEL(com_quorvel_zol_urdadumphdl, eventName, logLevel)

ZOL_URDA_EVENT(UrdaErrorEvent, LTTNG_UST_TRACEPOINT_LOGLEVEL_ERR)
ZOL_URDA_EVENT(UrdaInfoEvent, LTTNG_UST_TRACEPOINT_LOGLEVEL_INFO)
ZOL_URDA_EVENT(UrdaPrgDebugEvent, LTTNG_UST_TRACEPOINT_LOGLEVEL_DEBUG_PROGRAM)
ZOL_URDA_EVENT(UrdaFuncDebugEvent, LTTNG_UST_TRACEPOINT_LOGLEVEL_DEBUG_FUNCTION)
ZOL_URDA_EVENT(UrdaLineDebugEvent, LTTNG_UST_TRACEPOINT_LOGLEVEL_DEBUG_LINE)

#undef ZOL_URDA_EVENT

#endif /* ZOL_URDA_DUMP_HANDLER_TP_H */

#include <lttng/tracepoint-event.h>
