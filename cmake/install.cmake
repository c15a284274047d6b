# Install layout and rules.
#
# Everything installs under the GNU directories of CMAKE_INSTALL_PREFIX, in
# one of these components (cmake/package.cmake makes one Debian package of
# each):
#   runtime  the shared library and its SONAME link             libascore2
#   dev      headers, plug-in SDK, CMake and pkg-config files,  libascore-dev
#            the development link
#   tools    the reference modules, the tools, their manual     ascore-tools
#            pages and example configuration
# Every component also carries the copyright file and the change log in
# share/doc/<package>/.
#
# This file holds the rules of the library, its headers and the SDK. The
# modules and the tools install their own files with the helpers below, so a
# new program needs only one call in its own CMakeLists.txt.

set(ASCORE_INSTALL_MODULESDIR ${CMAKE_INSTALL_LIBDIR}/ascore/modules)
set(ASCORE_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/ascore)
set(ASCORE_INSTALL_SDK_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/ascore/sdk)
# Prefix to library directory, as a path relative to the prefix when it can
# be: a tool finds its modules from the directory it runs from with it.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  file(RELATIVE_PATH ASCORE_INSTALL_LIBDIR_FROM_PREFIX ${CMAKE_INSTALL_PREFIX} ${CMAKE_INSTALL_LIBDIR})
else()
  set(ASCORE_INSTALL_LIBDIR_FROM_PREFIX ${CMAKE_INSTALL_LIBDIR})
endif()

set(ASCORE_DEB_DIR ${CMAKE_SOURCE_DIR}/cmake/deb)
set(ASCORE_GENERATED_DIR ${CMAKE_BINARY_DIR}/install)

# --- per-component metadata ---------------------------------------------------

# ascore_component(<component> PACKAGE <Debian name> SUMMARY <one line>
#                  DESCRIPTION <paragraph> [DEPENDS <components>...])
# Declares a component and the package made of it, and installs the copyright
# file and the change log into its documentation directory.
function(ascore_component component)
  cmake_parse_arguments(C "" "PACKAGE;SUMMARY;DESCRIPTION" "DEPENDS" ${ARGN})
  if(NOT C_PACKAGE OR NOT C_SUMMARY OR NOT C_DESCRIPTION)
    message(FATAL_ERROR "ascore_component(${component}): PACKAGE, SUMMARY and DESCRIPTION are required")
  endif()
  set_property(GLOBAL APPEND PROPERTY ASCORE_COMPONENTS ${component})
  set_property(GLOBAL PROPERTY ASCORE_COMPONENT_${component}_PACKAGE "${C_PACKAGE}")
  set_property(GLOBAL PROPERTY ASCORE_COMPONENT_${component}_SUMMARY "${C_SUMMARY}")
  set_property(GLOBAL PROPERTY ASCORE_COMPONENT_${component}_DESCRIPTION "${C_DESCRIPTION}")
  set_property(GLOBAL PROPERTY ASCORE_COMPONENT_${component}_DEPENDS "${C_DEPENDS}")
  install(FILES ${ASCORE_DEB_DIR}/copyright ${ASCORE_GENERATED_DIR}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${C_PACKAGE} COMPONENT ${component})
endfunction()

# The documentation directory of a component: share/doc/<its package>.
function(ascore_component_docdir component out)
  get_property(package GLOBAL PROPERTY ASCORE_COMPONENT_${component}_PACKAGE)
  if(NOT package)
    message(FATAL_ERROR "component '${component}' is not declared with ascore_component()")
  endif()
  set(${out} ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} PARENT_SCOPE)
endfunction()

# Debian wants change logs and manual pages compressed, reproducibly.
function(ascore_gzip_file input output)
  add_custom_command(OUTPUT ${output}
    COMMAND gzip -9nc ${input} > ${output}
    DEPENDS ${input} VERBATIM)
endfunction()

file(MAKE_DIRECTORY ${ASCORE_GENERATED_DIR})
ascore_gzip_file(${CMAKE_SOURCE_DIR}/CHANGELOG ${ASCORE_GENERATED_DIR}/changelog.gz)
add_custom_target(ascore_changelog ALL DEPENDS ${ASCORE_GENERATED_DIR}/changelog.gz)

# --- helpers for modules and tools ---------------------------------------------

# ascore_install_module(<plug-in target>... [COMPONENT <component>])
# Installs plug-in module libraries into the modules directory.
function(ascore_install_module)
  cmake_parse_arguments(M "" "COMPONENT" "" ${ARGN})
  if(NOT M_COMPONENT)
    set(M_COMPONENT tools)
  endif()
  install(TARGETS ${M_UNPARSED_ARGUMENTS} LIBRARY DESTINATION ${ASCORE_INSTALL_MODULESDIR}
    PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ COMPONENT ${M_COMPONENT})
endfunction()

# ascore_install_tool(<executable target> [COMPONENT <component>] [SBIN]
#                     [MANPAGES <page>...] [DOCS <file>...] [EXAMPLES <file>...])
# Installs a program into bin/ (sbin/ with SBIN), its manual pages (files
# named <name>.<section>, usually generated in the build tree) compressed into
# share/man/man<section>/, and documents and examples into the component's
# documentation directory. The installed program finds libascore.so.2 next to
# it through a relative run path, so an installation can be moved whole.
function(ascore_install_tool target)
  cmake_parse_arguments(T "SBIN" "COMPONENT" "MANPAGES;DOCS;EXAMPLES" ${ARGN})
  if(NOT T_COMPONENT)
    set(T_COMPONENT tools)
  endif()
  if(T_SBIN)
    set(dir ${CMAKE_INSTALL_SBINDIR})
  else()
    set(dir ${CMAKE_INSTALL_BINDIR})
  endif()
  file(RELATIVE_PATH rpath ${CMAKE_INSTALL_PREFIX}/${dir} ${CMAKE_INSTALL_PREFIX}/${ASCORE_INSTALL_LIBDIR_FROM_PREFIX})
  set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN/${rpath}")
  install(TARGETS ${target} RUNTIME DESTINATION ${dir} COMPONENT ${T_COMPONENT})

  set(pages "")
  foreach(page IN LISTS T_MANPAGES)
    get_filename_component(name ${page} NAME)
    if(NOT name MATCHES "\\.([1-9])$")
      message(FATAL_ERROR "ascore_install_tool(${target}): '${page}' is not named <name>.<section>")
    endif()
    set(gz ${CMAKE_CURRENT_BINARY_DIR}/man/${name}.gz)
    ascore_gzip_file(${page} ${gz})
    list(APPEND pages ${gz})
    install(FILES ${gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${CMAKE_MATCH_1} COMPONENT ${T_COMPONENT})
  endforeach()
  if(pages)
    file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/man)
    add_custom_target(${target}_manpages ALL DEPENDS ${pages})
  endif()

  ascore_component_docdir(${T_COMPONENT} docdir)
  if(T_DOCS)
    install(FILES ${T_DOCS} DESTINATION ${docdir} COMPONENT ${T_COMPONENT})
  endif()
  if(T_EXAMPLES)
    install(FILES ${T_EXAMPLES} DESTINATION ${docdir}/examples COMPONENT ${T_COMPONENT})
  endif()
endfunction()

# ascore_install_config(<file> [COMPONENT <component>] [DESTINATION <dir>]
#                       [RENAME <name>])
# Installs a configuration file into <sysconfdir>/<dir> (default: ascore) and
# lists it as a conffile of the component's package, so that an upgrade keeps
# the administrator's changes. The directory is chosen at install time: /etc
# for the prefix /usr (the packages), <prefix>/etc otherwise.
function(ascore_install_config file)
  cmake_parse_arguments(F "" "COMPONENT;DESTINATION;RENAME" "" ${ARGN})
  if(NOT F_COMPONENT)
    set(F_COMPONENT tools)
  endif()
  if(NOT F_DESTINATION)
    set(F_DESTINATION ascore)
  endif()
  if(NOT F_RENAME)
    get_filename_component(F_RENAME ${file} NAME)
  endif()
  get_filename_component(file ${file} ABSOLUTE)
  install(CODE "
    if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
      set(etc /etc)
    else()
      set(etc \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_SYSCONFDIR}\")
    endif()
    file(INSTALL \"${file}\" DESTINATION \"\${etc}/${F_DESTINATION}\" RENAME \"${F_RENAME}\")
  " COMPONENT ${F_COMPONENT})
  set_property(GLOBAL APPEND PROPERTY ASCORE_COMPONENT_${F_COMPONENT}_CONFFILES /etc/${F_DESTINATION}/${F_RENAME})
endfunction()

# --- the components --------------------------------------------------------------

ascore_component(runtime PACKAGE libascore${PROJECT_VERSION_MAJOR}
  SUMMARY "anti-spam analysis core - shared library"
  DESCRIPTION "ascore loads anti-spam plug-in modules, keeps their settings and routes the items a host hands it through them. This package holds the shared library that host programs link with.")
ascore_component(dev PACKAGE libascore-dev DEPENDS runtime
  SUMMARY "anti-spam analysis core - development files and plug-in SDK"
  DESCRIPTION "ascore loads anti-spam plug-in modules, keeps their settings and routes the items a host hands it through them. This package holds what is needed to build hosts (C header, CMake package ascore::ascore, pkg-config file ascore) and plug-in modules (the SDK headers and static library, CMake package ascore::sdk with ascore_add_plugin, pkg-config file ascore-sdk).")
ascore_component(tools PACKAGE ascore-tools DEPENDS runtime
  SUMMARY "anti-spam analysis core - mail scanner, filter daemon and mail plug-ins"
  DESCRIPTION "ascore loads anti-spam plug-in modules, keeps their settings and routes the items a host hands it through them. This package holds the reference mail plug-ins (MIME parsing, header rules, link lists, a Bayes filter), ascan, which scans messages, mbox files and Maildirs with them and trains their model, and ascand, a mail filter daemon (milter) through which a mail server such as Postfix has each message scanned, marked or rejected while the SMTP session is open.")

# --- the library, its headers and the SDK ----------------------------------------

install(TARGETS ascore EXPORT ascoreTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
    COMPONENT runtime NAMELINK_COMPONENT dev)
install(FILES include/ascore/ascore.h include/ascore/aseml.h ${CMAKE_BINARY_DIR}/include/ascore/version.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/ascore COMPONENT dev)

# What a plug-in author includes: plugin_sdk.h and everything it reaches, plus
# the charset conversions. The core's own headers (loader, store, trace log
# writer, ini readers, file helpers, locker) stay private.
install(FILES
  src/plugin_sdk.h src/plugin_abi.h src/asitem.h src/camodule.h src/cadispmgr.h
  src/caconfigurer.h src/notifobj.h
  src/common/as_errno.h src/common/bbobject.h src/common/blackbox.h src/common/containers.h
  src/common/convert.h src/common/exceptions.h src/common/hooks.h src/common/sstring.h
  src/common/time_utils.h src/common/trace.h src/common/ustring.h
  DESTINATION ${ASCORE_INSTALL_SDK_INCLUDEDIR} COMPONENT dev)
install(TARGETS ascore_plugin_sdk EXPORT ascoreTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)

# --- CMake package: find_package(ascore 2 CONFIG) --------------------------------

include(CMakePackageConfigHelpers)
configure_package_config_file(cmake/ascoreConfig.cmake.in ${ASCORE_GENERATED_DIR}/ascoreConfig.cmake
  INSTALL_DESTINATION ${ASCORE_INSTALL_CMAKEDIR}
  PATH_VARS ASCORE_INSTALL_MODULESDIR)
write_basic_package_version_file(${ASCORE_GENERATED_DIR}/ascoreConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(EXPORT ascoreTargets NAMESPACE ascore:: DESTINATION ${ASCORE_INSTALL_CMAKEDIR} COMPONENT dev)
install(FILES ${ASCORE_GENERATED_DIR}/ascoreConfig.cmake ${ASCORE_GENERATED_DIR}/ascoreConfigVersion.cmake
  cmake/plugins.cmake cmake/plugin.map
  DESTINATION ${ASCORE_INSTALL_CMAKEDIR} COMPONENT dev)

# --- pkg-config: ascore (hosts) and ascore-sdk (plug-ins) -------------------------
# The prefix is filled in at install time, so that the files name the prefix
# actually installed into (cmake --install --prefix, or the packages' /usr).
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(ASCORE_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(ASCORE_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
set(ASCORE_PC_PREFIX "@ASCORE_PC_PREFIX@")
foreach(pc ascore ascore-sdk)
  configure_file(cmake/${pc}.pc.in ${ASCORE_GENERATED_DIR}/${pc}.pc.in @ONLY)
  install(CODE "
    set(ASCORE_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
    configure_file(\"${ASCORE_GENERATED_DIR}/${pc}.pc.in\" \"${ASCORE_GENERATED_DIR}/${pc}.pc\" @ONLY)
  " COMPONENT dev)
  install(FILES ${ASCORE_GENERATED_DIR}/${pc}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
endforeach()

# --- documentation ----------------------------------------------------------------
ascore_component_docdir(dev ASCORE_DEV_DOCDIR)
install(FILES README.md docs/plugins.md docs/architecture.md DESTINATION ${ASCORE_DEV_DOCDIR} COMPONENT dev)
install(FILES modules/example/example.cpp DESTINATION ${ASCORE_DEV_DOCDIR}/examples COMPONENT dev)
