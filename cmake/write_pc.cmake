# Writes brightkeep.pc at installation time (included by the install code of
# cmake/install.cmake, which sets bk_pc_template, bk_pc_output, bk_pc_libdir,
# bk_pc_includedir and PROJECT_VERSION). The paths are those of this
# installation's prefix, normalised, so that pkg-config recognises its
# system folders and leaves them out of the flags.
cmake_path(SET bk_pc_prefix NORMALIZE "${CMAKE_INSTALL_PREFIX}")
string(REGEX REPLACE "(.)/$" "\\1" bk_pc_prefix "${bk_pc_prefix}")

# bk_pc_dir(DIR OUT): DIR taken from the prefix, written as ${prefix}/...
# when it lies below it.
function(bk_pc_dir dir out)
  cmake_path(ABSOLUTE_PATH dir BASE_DIRECTORY "${bk_pc_prefix}" NORMALIZE)
  string(REGEX REPLACE "(.)/$" "\\1" dir "${dir}")
  string(LENGTH "${bk_pc_prefix}/" length)
  string(SUBSTRING "${dir}" 0 ${length} start)
  if(start STREQUAL "${bk_pc_prefix}/" AND NOT bk_pc_prefix STREQUAL "/")
    string(SUBSTRING "${dir}" ${length} -1 dir)
    set(dir "\${prefix}/${dir}")
  endif()
  set(${out} "${dir}" PARENT_SCOPE)
endfunction()

bk_pc_dir("${bk_pc_libdir}" bk_pc_libdir)
bk_pc_dir("${bk_pc_includedir}" bk_pc_includedir)
configure_file("${bk_pc_template}" "${bk_pc_output}" @ONLY)
