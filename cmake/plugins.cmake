# ascore_add_plugin(<target> SOURCES <files...> [DIR <output dir>]
#                   [NAME <file name without .mdl>] [NO_SDK])
#
# Builds one plug-in module library "<NAME or target>.mdl" (into <output dir>
# when given) the way a plug-in author should. The same file serves the
# source tree and, installed beside ascoreConfig.cmake, plug-ins built against
# an installed SDK (find_package(ascore) defines this function):
#  - hidden visibility for everything, inline functions and templates too, so
#    the only symbols that leave the library are the three entry points the
#    version script (plugin.map, beside this file) lists. Libraries are opened
#    with RTLD_GLOBAL; anything else exported could interpose on another
#    plug-in's copy.
#  - the SDK (ascore::sdk) linked in statically: the foundation code, the
#    plug-in's own hook copies, the entry-point helpers. The global allocation
#    operators stay the process's. NO_SDK leaves it out for a plug-in that
#    brings its own declarations of the contract.
#  - no undefined symbols left for load time (except under the sanitizers,
#    whose run-time is only linked into executables): a plug-in that depends
#    on a symbol of the core would only fail once the core opened it.
function(ascore_add_plugin target)
  cmake_parse_arguments(P "NO_SDK" "DIR;NAME" "SOURCES" ${ARGN})
  if(NOT P_SOURCES)
    message(FATAL_ERROR "ascore_add_plugin(${target}): SOURCES is required")
  endif()
  if(NOT P_NAME)
    set(P_NAME ${target})
  endif()
  set(map "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/plugin.map")
  add_library(${target} MODULE ${P_SOURCES})
  set_target_properties(${target} PROPERTIES
    PREFIX "" SUFFIX ".mdl" OUTPUT_NAME ${P_NAME}
    CXX_VISIBILITY_PRESET hidden C_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON
    LINK_DEPENDS ${map})
  if(P_DIR)
    set_target_properties(${target} PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${P_DIR})
  endif()
  target_link_options(${target} PRIVATE -Wl,--version-script=${map})
  if(NOT ASCORE_SANITIZE AND NOT ASCORE_TSAN)
    target_link_options(${target} PRIVATE -Wl,-z,defs)
  endif()
  if(NOT P_NO_SDK)
    target_link_libraries(${target} PRIVATE ascore::sdk)
  endif()
endfunction()
