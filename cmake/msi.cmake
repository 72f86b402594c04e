# The Windows installer Brightkeep.msi of this build (x86 or x64), built with
# wixl from dist/windows/brightkeep.wxs.in. It installs Brightkeep.dll,
# brightkeep.exe, the README and the licence, and registers the COM server
# with registry rows that write what DllRegisterServer writes
# (component/com/registration.cc); scripts/msi-tests.sh compares the two.
find_program(BK_WIXL wixl REQUIRED)

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(BK_MSI_PLATFORM win64)
  set(bk_msi_arch x64)
  set(BK_MSI_WIN64 yes)
  set(BK_MSI_PROGRAM_FILES ProgramFiles64Folder)
  set(BK_MSI_UPGRADE_CODE 614C2510-BB49-459E-888B-B9660D7A552B)
  set(BK_MSI_SERVER_GUID 4526A311-1DDE-4217-A21A-528EF8441578)
  set(BK_MSI_COMMAND_GUID F439D483-134B-4D9C-BCA3-14556FA3A408)
else()
  set(BK_MSI_PLATFORM win32)
  set(bk_msi_arch x86)
  set(BK_MSI_WIN64 no)
  set(BK_MSI_PROGRAM_FILES ProgramFilesFolder)
  set(BK_MSI_UPGRADE_CODE C724E216-64E6-4EB0-A9C7-A9EA412D8FB2)
  set(BK_MSI_SERVER_GUID AE120BE8-3B82-43D0-A407-2986E6200F88)
  set(BK_MSI_COMMAND_GUID 87B8DE6C-8CB8-46C1-BC29-010F48B631DD)
endif()

# What DllRegisterServer writes, all below HKEY_CLASSES_ROOT: the type
# library, the four dual interfaces (marshalled through the type library)
# and the two creatable classes with their ProgIDs.
set(bk_libid "{8C4379DD-1AD9-11D5-B16C-00B0D02F72C6}")
set(bk_typelib_version 4.0)
set(bk_marshaller "{00020424-0000-0000-C000-000000000046}")
set(bk_interfaces
  "{CA3E6756-38CC-11D5-9DE5-00B0D0A23A27}" _clsFileRollbackCreate
  "{CA3E6757-38CC-11D5-9DE5-00B0D0A23A27}" _clsFileRollbackLog
  "{CA3E6758-38CC-11D5-9DE5-00B0D0A23A27}" _clsFileRollBackLogZip
  "{CA3E6759-38CC-11D5-9DE5-00B0D0A23A27}" _clsRollbackManager)
set(bk_classes
  "{8C4379E3-1AD9-11D5-B16C-00B0D02F72C6}" VELMARBrightkeep.clsFileRollbackCreate
  "{8C4379E6-1AD9-11D5-B16C-00B0D02F72C6}" VELMARBrightkeep.clsRollbackManager)

set(BK_MSI_REGISTRY "")
# bk_msi_value(KEY NAME VALUE): one string value; NAME "" is the default value.
function(bk_msi_value key name value)
  if(name STREQUAL "")
    set(name_attribute "")
  else()
    set(name_attribute " Name=\"${name}\"")
  endif()
  string(APPEND BK_MSI_REGISTRY
    "            <RegistryValue Root=\"HKCR\" Key=\"${key}\"${name_attribute} Type=\"string\" Value=\"${value}\"/>\n")
  set(BK_MSI_REGISTRY "${BK_MSI_REGISTRY}" PARENT_SCOPE)
endfunction()

set(bk_library_key "TypeLib\\${bk_libid}\\${bk_typelib_version}")
bk_msi_value("${bk_library_key}" "" "VELMAR File Rollback")
bk_msi_value("${bk_library_key}\\0\\${BK_MSI_PLATFORM}" "" "[#BrightkeepDll]")
bk_msi_value("${bk_library_key}\\FLAGS" "" "0")
bk_msi_value("${bk_library_key}\\HELPDIR" "" "[INSTALLDIR]")
while(bk_interfaces)
  list(POP_FRONT bk_interfaces iid name)
  bk_msi_value("Interface\\${iid}" "" "${name}")
  bk_msi_value("Interface\\${iid}\\ProxyStubClsid" "" "${bk_marshaller}")
  bk_msi_value("Interface\\${iid}\\ProxyStubClsid32" "" "${bk_marshaller}")
  bk_msi_value("Interface\\${iid}\\TypeLib" "" "${bk_libid}")
  bk_msi_value("Interface\\${iid}\\TypeLib" Version "${bk_typelib_version}")
endwhile()
while(bk_classes)
  list(POP_FRONT bk_classes clsid prog_id)
  bk_msi_value("CLSID\\${clsid}" "" "${prog_id}")
  bk_msi_value("CLSID\\${clsid}\\InprocServer32" "" "[#BrightkeepDll]")
  bk_msi_value("CLSID\\${clsid}\\InprocServer32" ThreadingModel Apartment)
  bk_msi_value("CLSID\\${clsid}\\ProgID" "" "${prog_id}")
  bk_msi_value("CLSID\\${clsid}\\TypeLib" "" "${bk_libid}")
  bk_msi_value("${prog_id}" "" "${prog_id}")
  bk_msi_value("${prog_id}\\CLSID" "" "${clsid}")
endwhile()

# wixl takes the files' paths relative to the folder it runs in.
set(BK_MSI_DLL "$<PATH:RELATIVE_PATH,$<TARGET_FILE:Brightkeep>,${CMAKE_BINARY_DIR}>")
set(BK_MSI_EXE "$<PATH:RELATIVE_PATH,$<TARGET_FILE:brightkeep_cli>,${CMAKE_BINARY_DIR}>")
file(RELATIVE_PATH BK_MSI_SOURCE_DIR ${CMAKE_BINARY_DIR} ${PROJECT_SOURCE_DIR})
string(REGEX REPLACE "/$" "" BK_MSI_SOURCE_DIR "${BK_MSI_SOURCE_DIR}")
configure_file(${PROJECT_SOURCE_DIR}/dist/windows/brightkeep.wxs.in ${CMAKE_BINARY_DIR}/brightkeep.wxs.in @ONLY)
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/brightkeep.wxs INPUT ${CMAKE_BINARY_DIR}/brightkeep.wxs.in)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/Brightkeep.msi
  COMMAND ${BK_WIXL} -a ${bk_msi_arch} -o Brightkeep.msi brightkeep.wxs
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
  DEPENDS ${CMAKE_BINARY_DIR}/brightkeep.wxs Brightkeep brightkeep_cli ${PROJECT_SOURCE_DIR}/README.md
          ${PROJECT_SOURCE_DIR}/LICENSE
  COMMENT "wixl: Brightkeep.msi (${bk_msi_arch})"
  VERBATIM)
add_custom_target(brightkeep_msi ALL DEPENDS ${CMAKE_BINARY_DIR}/Brightkeep.msi)
