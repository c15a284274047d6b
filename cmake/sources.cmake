# Source lists, one per build unit. Keep each list in the order of the layers.

# Foundation that plug-ins compile in as well (through the SDK): it reaches the
# heap, the error state and the trace log only through the hook variables.
set(ASCOMMON_BASE_SOURCES
  src/common/sstring.cpp
  src/common/ustring.cpp
  src/common/convert.cpp
  src/common/exceptions.cpp
  src/common/time_utils.cpp
  src/common/blackbox.cpp
)

# Library-only process state: the hook defaults and allocation operators, the
# per-thread error state, the trace log, file helpers and the ini readers.
set(ASCOMMON_RT_SOURCES
  src/common/hooks.cpp
  src/common/as_errno.cpp
  src/common/tracer.cpp
  src/common/x_file_utils.cpp
  src/common/inifile.cpp
  src/common/inifile2.cpp
)

set(ASCORE_SOURCES
  src/notifobj.cpp
  src/core/ascore.cpp
  src/core/ascore_blackbox.cpp
  src/core/core.cpp
  src/core/disp_mgr.cpp
  src/core/loader.cpp
  src/core/configurer.cpp
  src/core/settings_lock.cpp
)

# Plug-in side runtime (hook copies, class factory, entry-point helpers).
set(ASCORE_SDK_SOURCES
  src/notifobj.cpp
  src/plugin_sdk.cpp
)
