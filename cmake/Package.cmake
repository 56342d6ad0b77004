# The Windows package: `cmake --build --preset windows --target package`
# makes build/windows/Larkspan-VERSION-win32.zip with what an installation
# and a developer need: the DLL, its header, import libraries for MinGW
# (libLarkspan.dll.a) and for MSVC's linker (Larkspan.lib), the updater,
# larkspan-get and the README.
install(TARGETS Larkspan RUNTIME DESTINATION . ARCHIVE DESTINATION lib)
install(TARGETS Harrowfen larkspan-get RUNTIME DESTINATION .)
install(FILES ${PROJECT_SOURCE_DIR}/Larkspan/include/Larkspan.h DESTINATION include)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)

# MSVC's linker reads the same short import members; it wants the .lib name.
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/Larkspan.lib
  COMMAND ${LARKSPAN_DLLTOOL} --kill-at --input-def ${PROJECT_SOURCE_DIR}/Larkspan/Larkspan.def
          --dllname Larkspan.dll --output-lib ${PROJECT_BINARY_DIR}/Larkspan.lib
  DEPENDS ${PROJECT_SOURCE_DIR}/Larkspan/Larkspan.def VERBATIM)
add_custom_target(msvc-import-library ALL DEPENDS ${PROJECT_BINARY_DIR}/Larkspan.lib)
install(FILES ${PROJECT_BINARY_DIR}/Larkspan.lib DESTINATION lib)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME Larkspan)
set(CPACK_SYSTEM_NAME win32)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR})
include(CPack)
