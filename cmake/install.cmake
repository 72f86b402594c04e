# Installation (Linux): the headers under include/brightkeep/, the library
# static (libbrightkeep.a) and shared (libbrightkeep.so), the `brightkeep`
# command, a CMake package giving Brightkeep::brightkeep and
# Brightkeep::brightkeep_shared, and a pkg-config file.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# The shared library is linked from every object of the static one, so the
# sources are compiled once.
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/brightkeep_shared.cc
  CONTENT "// The shared library's objects come from the static library.\n")
add_library(brightkeep_shared SHARED ${CMAKE_BINARY_DIR}/brightkeep_shared.cc)
target_link_libraries(brightkeep_shared PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,brightkeep>" bk_options)
target_link_options(brightkeep_shared PRIVATE -Wl,--no-undefined)
target_include_directories(brightkeep_shared PUBLIC
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/brightkeep>)
target_compile_definitions(brightkeep_shared PUBLIC BK_VERSION="${PROJECT_VERSION}")
set_target_properties(brightkeep_shared PROPERTIES
  OUTPUT_NAME brightkeep
  VERSION ${PROJECT_VERSION}
  SOVERSION ${PROJECT_VERSION_MAJOR})

install(DIRECTORY component log safemode recovery
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/brightkeep
  FILES_MATCHING PATTERN "*.h"
  PATTERN "*_internal.h" EXCLUDE
  PATTERN "com" EXCLUDE)

# bk_options travels with the static library only for its link options
# (sanitizers in such builds).
install(TARGETS brightkeep brightkeep_shared bk_options EXPORT BrightkeepTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS brightkeep_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

set(bk_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/Brightkeep)
install(EXPORT BrightkeepTargets NAMESPACE Brightkeep:: DESTINATION ${bk_cmake_dir})
configure_package_config_file(cmake/BrightkeepConfig.cmake.in
  ${CMAKE_BINARY_DIR}/BrightkeepConfig.cmake INSTALL_DESTINATION ${bk_cmake_dir})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/BrightkeepConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/BrightkeepConfig.cmake ${CMAKE_BINARY_DIR}/BrightkeepConfigVersion.cmake
  DESTINATION ${bk_cmake_dir})

# The pkg-config file finds its prefix from its own place, so the tree can
# be installed under any prefix (cmake --install --prefix).
file(RELATIVE_PATH bk_pc_to_prefix ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" bk_pc_to_prefix "${bk_pc_to_prefix}")
configure_file(cmake/brightkeep.pc.in ${CMAKE_BINARY_DIR}/brightkeep.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/brightkeep.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The manual page brightkeep(1), built from its scdoc source.
find_program(BK_SCDOC scdoc REQUIRED)
set(bk_man_page ${CMAKE_BINARY_DIR}/brightkeep.1)
add_custom_command(OUTPUT ${bk_man_page}
  COMMAND sh -c "\"$0\" < \"$1\" > \"$2\"" ${BK_SCDOC} ${PROJECT_SOURCE_DIR}/docs/brightkeep.1.scd ${bk_man_page}
  DEPENDS ${PROJECT_SOURCE_DIR}/docs/brightkeep.1.scd
  COMMENT "scdoc: brightkeep.1"
  VERBATIM)
add_custom_target(brightkeep_man ALL DEPENDS ${bk_man_page})
install(FILES ${bk_man_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# Completion for bash, where bash-completion loads it on demand.
install(FILES dist/bash-completion/brightkeep DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

# The unit that rolls back a folder's unfinished periods at boot; a relative
# folder is taken from the installation prefix.
set(BK_SYSTEMD_UNIT_DIR lib/systemd/system CACHE STRING "Where the systemd unit is installed")
configure_file(dist/systemd/brightkeep-rollback@.service.in ${CMAKE_BINARY_DIR}/brightkeep-rollback@.service @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/brightkeep-rollback@.service DESTINATION ${BK_SYSTEMD_UNIT_DIR})
