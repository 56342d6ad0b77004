# Installing the native build: the library and its header, the POSIX layer it
# runs on, the updater and larkspan-get, a CMake package (find_package(Larkspan),
# target Larkspan::Larkspan) and a pkg-config file (larkspan).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# The programs that are built (LARKSPAN_UPDATER, LARKSPAN_GET).
set(programs "")
foreach(program Harrowfen larkspan-get)
  if(TARGET ${program})
    list(APPEND programs ${program})
  endif()
endforeach()

set_target_properties(Larkspan PROPERTIES INSTALL_RPATH "$ORIGIN")
if(programs)
  set_target_properties(${programs} PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  install(TARGETS ${programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

target_include_directories(Larkspan PUBLIC $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
target_include_directories(winposix PUBLIC $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/winposix>)

install(TARGETS Larkspan winposix EXPORT LarkspanTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/Larkspan/include/Larkspan.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/posix/include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/winposix)
# The documents, laid out as in the sources so that their links hold: every
# page they link to is installed with them (tests/tools/check_install.py
# follows each link).
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${PROJECT_SOURCE_DIR}/LICENSE
  DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${PROJECT_SOURCE_DIR}/posix/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR}/posix)
install(FILES ${PROJECT_SOURCE_DIR}/bench/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR}/bench)

install(EXPORT LarkspanTargets NAMESPACE Larkspan:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Larkspan)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/LarkspanConfig.cmake.in
  ${PROJECT_BINARY_DIR}/LarkspanConfig.cmake INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Larkspan)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/LarkspanConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/LarkspanConfig.cmake ${PROJECT_BINARY_DIR}/LarkspanConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Larkspan)
configure_file(${PROJECT_SOURCE_DIR}/cmake/larkspan.pc.in ${PROJECT_BINARY_DIR}/larkspan.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/larkspan.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
