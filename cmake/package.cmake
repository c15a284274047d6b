# Debian packages, one per install component (cmake/install.cmake):
#
#   cpack --config build/CPackConfig.cmake -B <dir>
#
# Configure with -DCMAKE_INSTALL_PREFIX=/usr for packages (the library then
# goes to lib/<multiarch>). Each package's dependencies on system libraries
# come from dpkg-shlibdeps over its binaries; a package whose programs use
# libascore.so.2 depends on the library package of the same version (they
# are built together); the library package gets a shlibs file and the
# ldconfig trigger.

set(ASCORE_PACKAGE_MAINTAINER "ascore developers <ascore-dev@lists.invalid>"
  CACHE STRING "Maintainer field of the Debian packages")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ascore)
set(CPACK_PACKAGE_VENDOR "The ascore developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${ASCORE_PACKAGE_MAINTAINER}")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
# Installed with DESTDIR, so that files written at install time (the
# pkg-config files, configuration files) see the real prefix.
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ASCORE_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# dpkg-shlibdeps must find libascore.so.2, which is not installed yet; the
# dependency on its package comes from the component graph below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_LIBRARY_OUTPUT_DIRECTORY})
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

# Wraps a paragraph at 72 columns for the control file's extended description.
function(ascore_wrap text out)
  string(REGEX REPLACE "[ \n]+" ";" words "${text}")
  set(result "")
  set(line "")
  foreach(word IN LISTS words)
    string(LENGTH "${line} ${word}" n)
    if(line STREQUAL "")
      set(line "${word}")
    elseif(n GREATER 72)
      string(APPEND result "${line}\n")
      set(line "${word}")
    else()
      string(APPEND line " ${word}")
    endif()
  endforeach()
  set(${out} "${result}${line}" PARENT_SCOPE)
endfunction()

get_property(ASCORE_ALL_COMPONENTS GLOBAL PROPERTY ASCORE_COMPONENTS)
set(CPACK_COMPONENTS_ALL ${ASCORE_ALL_COMPONENTS})
foreach(component IN LISTS ASCORE_ALL_COMPONENTS)
  string(TOUPPER ${component} C)
  get_property(package GLOBAL PROPERTY ASCORE_COMPONENT_${component}_PACKAGE)
  get_property(summary GLOBAL PROPERTY ASCORE_COMPONENT_${component}_SUMMARY)
  get_property(description GLOBAL PROPERTY ASCORE_COMPONENT_${component}_DESCRIPTION)
  get_property(depends GLOBAL PROPERTY ASCORE_COMPONENT_${component}_DEPENDS)
  get_property(conffiles GLOBAL PROPERTY ASCORE_COMPONENT_${component}_CONFFILES)
  set(CPACK_DEBIAN_${C}_PACKAGE_NAME ${package})
  ascore_wrap("${description}" description)
  # The first line is the synopsis (no project-wide summary is set, so cpack
  # puts none in front of it).
  set(CPACK_DEBIAN_${C}_DESCRIPTION "${summary}\n${description}")
  set(CPACK_COMPONENT_${C}_DEPENDS ${depends})
  if(NOT component STREQUAL "runtime")
    set(CPACK_DEBIAN_${C}_PACKAGE_SECTION devel)
  endif()
  if(conffiles)
    list(JOIN conffiles "\n" text)
    file(WRITE ${ASCORE_GENERATED_DIR}/${component}/conffiles "${text}\n")
    set(CPACK_DEBIAN_${C}_PACKAGE_CONTROL_EXTRA ${ASCORE_GENERATED_DIR}/${component}/conffiles)
  endif()
endforeach()
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION mail)
# The library package runs ldconfig through the trigger (cpack also adds a
# postinst and postrm that call it, which is redundant but harmless).
file(WRITE ${ASCORE_GENERATED_DIR}/runtime/triggers "activate-noawait ldconfig\n")
list(APPEND CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${ASCORE_GENERATED_DIR}/runtime/triggers)

include(CPack)
