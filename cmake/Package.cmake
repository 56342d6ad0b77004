# The Windows packages: `cmake --build --preset windows --target package`
# (or windows64) makes, in the build folder,
#   Larkspan-VERSION-win32.zip (win64 for the 64-bit build) with what an
#     installation and a developer need: the DLL, its header, import
#     libraries for MinGW (libLarkspan.dll.a) and for MSVC's linker
#     (Larkspan.lib), a CMake package (lib/cmake/Larkspan), the updater,
#     larkspan-get, all without debugging
#     information; a README of the zip's own (packaging/README.md, for the
#     developer who ships the files, not the one who builds them), the
#     examples it shows, the licence and the notices for the runtime parts
#     linked into the programs;
#   Larkspan-VERSION-win32-symbols.zip with the debugging information of each
#     of those programs (NAME.debug, named by the program's debug link).
install(TARGETS Larkspan RUNTIME DESTINATION . COMPONENT runtime ARCHIVE DESTINATION lib COMPONENT runtime)
set(programs "")
foreach(program Harrowfen larkspan-get)  # those that are built (LARKSPAN_UPDATER, LARKSPAN_GET)
  if(TARGET ${program})
    list(APPEND programs ${program})
  endif()
endforeach()
if(programs)
  install(TARGETS ${programs} RUNTIME DESTINATION . COMPONENT runtime)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/Larkspan/include/Larkspan.h DESTINATION include COMPONENT runtime)

# The CMake package, lib/cmake/Larkspan: find_package(Larkspan) with the
# installed tree or the unpacked zip on CMAKE_PREFIX_PATH gives the imported
# target Larkspan::Larkspan (cmake/LarkspanWindowsConfig.cmake.in). The
# version file refuses a project of the other width.
include(CMakePackageConfigHelpers)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/LarkspanWindowsConfig.cmake.in
  ${PROJECT_BINARY_DIR}/LarkspanConfig.cmake INSTALL_DESTINATION lib/cmake/Larkspan)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/LarkspanConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/LarkspanConfig.cmake ${PROJECT_BINARY_DIR}/LarkspanConfigVersion.cmake
  DESTINATION lib/cmake/Larkspan COMPONENT runtime)
# The repository's README and docs/ are about building from the sources and
# link all over the tree; the zip's README stands alone, and links only to
# files in the zip (tests/tools/check_package.py follows every link).
install(FILES ${PROJECT_SOURCE_DIR}/packaging/README.md ${PROJECT_SOURCE_DIR}/packaging/THIRD-PARTY-NOTICES.txt
        ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . COMPONENT runtime)
install(FILES ${PROJECT_SOURCE_DIR}/examples/download.cpp ${PROJECT_SOURCE_DIR}/examples/download_with_progress.c
        ${PROJECT_SOURCE_DIR}/examples/download_on_worker.cpp
        ${PROJECT_SOURCE_DIR}/examples/download_with_progress_bar.cpp DESTINATION examples COMPONENT runtime)
foreach(shipped Larkspan ${programs})
  install(FILES $<TARGET_FILE:${shipped}>.debug DESTINATION . COMPONENT symbols)
endforeach()

# Optional Authenticode signing of the three files as they are installed into
# the package (cmake/SignInstalled.cmake); environment variables of the same
# names, when set, take the place of these at packaging time.
set(LARKSPAN_SIGN_PKCS12 "" CACHE FILEPATH "PKCS#12 file with the code-signing certificate and key")
set(LARKSPAN_SIGN_CERT "" CACHE FILEPATH "Code-signing certificate (with its chain), used with LARKSPAN_SIGN_KEY")
set(LARKSPAN_SIGN_KEY "" CACHE FILEPATH "Private key of LARKSPAN_SIGN_CERT")
set(LARKSPAN_SIGN_PASSWORD_FILE "" CACHE FILEPATH "File holding the password of the PKCS#12 file or the key")
set(LARKSPAN_SIGN_TIMESTAMP_URL "" CACHE STRING "RFC 3161 time-stamp server; empty: signed without a time stamp")
set(sign_settings "")
foreach(setting PKCS12 CERT KEY PASSWORD_FILE TIMESTAMP_URL)
  string(APPEND sign_settings "set(LARKSPAN_SIGN_${setting} [==[${LARKSPAN_SIGN_${setting}}]==])\n")
endforeach()
install(CODE "${sign_settings}include([==[${PROJECT_SOURCE_DIR}/cmake/SignInstalled.cmake]==])" COMPONENT runtime)

# The import library for MSVC-style linkers (link.exe, lld-link), made of
# short import members, as MSVC's own lib.exe makes them from a .def file.
# MinGW's dlltool writes long-format members instead: small COFF objects
# without the "@feat.00" symbol, which a 32-bit link at its default /SAFESEH
# refuses ("is not compatible with SEH"). llvm-dlltool (Debian's llvm) writes
# the short ones; -k maps the stdcall symbol _Larkspan@16 to the undecorated
# export, as --kill-at does for the MinGW library. It names no path and
# stamps no time, so two builds give the same bytes.
find_program(LARKSPAN_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14 REQUIRED
             DOC "llvm-dlltool, for the short-format Larkspan.lib (Debian's llvm; scripts/setup)")
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(dlltool_machine -m i386 -k)
else()
  set(dlltool_machine -m i386:x86-64)
endif()
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/Larkspan.lib
  COMMAND ${LARKSPAN_LLVM_DLLTOOL} ${dlltool_machine} -d ${LARKSPAN_DEF_FILE} -D Larkspan.dll
          -l ${PROJECT_BINARY_DIR}/Larkspan.lib
  DEPENDS ${LARKSPAN_DEF_FILE} VERBATIM)
add_custom_target(msvc-import-library ALL DEPENDS ${PROJECT_BINARY_DIR}/Larkspan.lib)
install(FILES ${PROJECT_BINARY_DIR}/Larkspan.lib DESTINATION lib COMPONENT runtime)

math(EXPR width "${CMAKE_SIZEOF_VOID_P} * 8")
set(package Larkspan-${PROJECT_VERSION}-win${width})
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME Larkspan)
set(CPACK_SYSTEM_NAME win${width})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR})
set(CPACK_COMPONENTS_ALL runtime symbols)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_ARCHIVE_RUNTIME_FILE_NAME ${package})
set(CPACK_ARCHIVE_SYMBOLS_FILE_NAME ${package}-symbols)
# Two packagings of one commit give the same zips: cmake/rezip.py writes them
# again with the commit's time (or SOURCE_DATE_EPOCH) on every entry.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(CPACK_LARKSPAN_PYTHON ${Python3_EXECUTABLE})
set(CPACK_LARKSPAN_SOURCE_DIR ${PROJECT_SOURCE_DIR})
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/PackageRezip.cmake)
include(CPack)
