# ascore_add_manpage(<page>.<section>.scd): turns a manual page written in
# scdoc into ${CMAKE_BINARY_DIR}/man/<page>.<section> as part of the default
# build (target man-<page>.<section>). The path is relative to the calling
# CMakeLists.txt. Every page built is listed in the global property
# ASCORE_MANPAGES, for install rules and packaging.
include_guard(GLOBAL)
find_program(ASCORE_SCDOC scdoc)
set(ASCORE_MAN_DIR ${CMAKE_BINARY_DIR}/man)

function(ascore_add_manpage source)
  get_filename_component(src ${source} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
  get_filename_component(name ${source} NAME)
  string(REGEX REPLACE "\\.scd$" "" page ${name})
  if(NOT ASCORE_SCDOC)
    message(FATAL_ERROR "scdoc is needed for the manual page ${page} (scripts/deps.sh installs it)")
  endif()
  set(out ${ASCORE_MAN_DIR}/${page})
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${ASCORE_MAN_DIR}
    COMMAND sh -c "\"$1\" < \"$2\" > \"$3\"" sh ${ASCORE_SCDOC} ${src} ${out}
    DEPENDS ${src}
    COMMENT "Manual page ${page}"
    VERBATIM)
  add_custom_target(man-${page} ALL DEPENDS ${out})
  set_property(GLOBAL APPEND PROPERTY ASCORE_MANPAGES ${out})
endfunction()
