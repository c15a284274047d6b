// tracer.h - the trace log (as2_debug.log).
#pragma once

namespace ascommon {

// Starts (or restarts) the trace log for the given module directory (may be
// null): decides the level from AS_TRACER_LEVEL or the marker files
// "antispam.trace.<level>" in that directory, opens the file and installs the
// trace function into _as_trace. Returns 0 when tracing is on, -1 otherwise.
int as_tracer_start(const char* module_path);

// Restores the do-nothing trace function and closes the file (library unload).
void as_tracer_stop();

// The configured level (0 while off).
int as_tracer_level();

} // namespace ascommon
