# Installation (Linux): the headers under include/brightkeep/, the library
# static (libbrightkeep.a) and shared (libbrightkeep.so), the `brightkeep`
# command with its manual page, completions, configuration example and boot
# unit, the README, a CMake package giving Brightkeep::brightkeep and
# Brightkeep::brightkeep_shared, and a pkg-config file.
include(CMakePackageConfigHelpers)

# The shared library is linked from every object of the static one, so the
# sources are compiled once.
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/brightkeep_shared.cc
  CONTENT "// The shared library's objects come from the static library.\n")
add_library(brightkeep_shared SHARED ${CMAKE_BINARY_DIR}/brightkeep_shared.cc)
target_link_libraries(brightkeep_shared PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,brightkeep>" $<BUILD_INTERFACE:bk_options>)
target_link_options(brightkeep_shared PRIVATE -Wl,--no-undefined)
target_compile_features(brightkeep_shared PUBLIC cxx_std_20)
target_include_directories(brightkeep_shared PUBLIC
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
  $<BUILD_INTERFACE:${CMAKE_BINARY_DIR}/generated>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
set_target_properties(brightkeep_shared PROPERTIES
  OUTPUT_NAME brightkeep
  VERSION ${PROJECT_VERSION}
  SOVERSION ${PROJECT_VERSION_MAJOR})

# The public headers, staged under brightkeep/ with their includes of each
# other rewritten to <brightkeep/...>, so that a program's include path holds
# no generic name such as log/ or component/.
file(GLOB_RECURSE bk_public_headers CONFIGURE_DEPENDS RELATIVE ${PROJECT_SOURCE_DIR}
  component/*.h log/*.h restore/*.h safemode/*.h recovery/*.h)
list(FILTER bk_public_headers EXCLUDE REGEX "_internal\\.h$|^component/com/")
list(TRANSFORM bk_public_headers PREPEND ${PROJECT_SOURCE_DIR}/ OUTPUT_VARIABLE bk_header_sources)
set(bk_staged_include ${CMAKE_BINARY_DIR}/staged-include)
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/public-headers.txt CONTENT "${bk_public_headers}")
add_custom_command(OUTPUT ${bk_staged_include}/stamp
  COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${PROJECT_SOURCE_DIR} -DLIST=${CMAKE_BINARY_DIR}/public-headers.txt
          -DOUTPUT_DIR=${bk_staged_include} -P ${PROJECT_SOURCE_DIR}/cmake/stage_headers.cmake
  COMMAND ${CMAKE_COMMAND} -E touch ${bk_staged_include}/stamp
  DEPENDS ${bk_header_sources} ${CMAKE_BINARY_DIR}/public-headers.txt ${PROJECT_SOURCE_DIR}/cmake/stage_headers.cmake
  COMMENT "Staging the public headers under brightkeep/"
  VERBATIM)
add_custom_target(brightkeep_headers ALL DEPENDS ${bk_staged_include}/stamp)
install(DIRECTORY ${bk_staged_include}/brightkeep DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${CMAKE_BINARY_DIR}/generated/brightkeep/version.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/brightkeep)

install(TARGETS brightkeep brightkeep_shared EXPORT BrightkeepTargets
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

# The pkg-config file is written when the tree is installed, with the prefix
# of that installation (cmake --install --prefix may move it), as plain
# normalised paths.
install(CODE "set(bk_pc_template [[${PROJECT_SOURCE_DIR}/cmake/brightkeep.pc.in]])
set(bk_pc_output [[${CMAKE_BINARY_DIR}/brightkeep.pc]])
set(bk_pc_libdir [[${CMAKE_INSTALL_LIBDIR}]])
set(bk_pc_includedir [[${CMAKE_INSTALL_INCLUDEDIR}]])
set(PROJECT_VERSION [[${PROJECT_VERSION}]])
include([[${PROJECT_SOURCE_DIR}/cmake/write_pc.cmake]])")
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

# Completions for bash, zsh and fish, all written by one generator from the
# command's own --help texts, where each shell looks for them on demand.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(BK_COMPLETION_DIR ${CMAKE_BINARY_DIR}/completion)
set(bk_completions ${BK_COMPLETION_DIR}/brightkeep ${BK_COMPLETION_DIR}/_brightkeep ${BK_COMPLETION_DIR}/brightkeep.fish)
add_custom_command(OUTPUT ${bk_completions}
  COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/dist/completion/generate.py
          $<TARGET_FILE:brightkeep_cli> ${BK_COMPLETION_DIR}
  DEPENDS brightkeep_cli ${PROJECT_SOURCE_DIR}/dist/completion/generate.py
  COMMENT "Completions for bash, zsh and fish"
  VERBATIM)
add_custom_target(brightkeep_completions ALL DEPENDS ${bk_completions})
install(FILES ${BK_COMPLETION_DIR}/brightkeep DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
install(FILES ${BK_COMPLETION_DIR}/_brightkeep DESTINATION ${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions)
install(FILES ${BK_COMPLETION_DIR}/brightkeep.fish DESTINATION ${CMAKE_INSTALL_DATADIR}/fish/vendor_completions.d)

# The commented example of the configuration file, and the README the
# command's help texts point to.
configure_file(dist/brightkeep.conf.in ${CMAKE_BINARY_DIR}/brightkeep.conf @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/brightkeep.conf DESTINATION ${CMAKE_INSTALL_SYSCONFDIR})
install(FILES README.md DESTINATION ${BK_DOC_DIR})

# The unit that rolls back a folder's unfinished periods at boot; a relative
# folder is taken from the installation prefix. Enabled without an instance,
# it takes the default temporary folder.
set(BK_SYSTEMD_UNIT_DIR lib/systemd/system CACHE STRING "Where the systemd unit is installed")
include(${PROJECT_SOURCE_DIR}/cmake/systemd_escape.cmake)
bk_systemd_escape_path("${BK_DEFAULT_TEMP}" BK_DEFAULT_INSTANCE)
configure_file(dist/systemd/brightkeep-rollback@.service.in ${CMAKE_BINARY_DIR}/brightkeep-rollback@.service @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/brightkeep-rollback@.service DESTINATION ${BK_SYSTEMD_UNIT_DIR})
