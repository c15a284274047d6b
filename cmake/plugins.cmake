# ascore_add_plugin(<target> DIR <output dir> SOURCES <files...> [NO_SDK])
#
# Builds one plug-in module library "<target>.mdl" the way a plug-in author
# would: hidden visibility (inline functions too), only the three entry points
# exported, the foundation code and the hook copies linked in from the SDK.
function(ascore_add_plugin target)
  cmake_parse_arguments(P "NO_SDK" "DIR;NAME" "SOURCES" ${ARGN})
  add_library(${target} MODULE ${P_SOURCES})
  if(NOT P_NAME)
    set(P_NAME ${target})
  endif()
  set_target_properties(${target} PROPERTIES
    PREFIX "" SUFFIX ".mdl" OUTPUT_NAME ${P_NAME}
    LIBRARY_OUTPUT_DIRECTORY ${P_DIR}
    CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON
    LINK_DEPENDS ${CMAKE_SOURCE_DIR}/cmake/plugin.map)
  target_link_options(${target} PRIVATE -Wl,--version-script=${CMAKE_SOURCE_DIR}/cmake/plugin.map)
  if(NOT P_NO_SDK)
    target_link_libraries(${target} PRIVATE ascore_plugin_sdk)
  endif()
endfunction()
