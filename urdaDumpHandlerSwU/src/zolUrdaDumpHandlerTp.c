/* Generates the probes of the provider; they are linked into the program itself. */
#define LTTNG_UST_TRACEPOINT_CREATE_PROBES
#include "zolUrdaDumpHandlerTp.h"
