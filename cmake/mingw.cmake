# What the two Windows toolchains share: Debian's MinGW-w64 (POSIX threads
# flavour) for the triplet the including file names, programs run under Wine
# through cmake/wine-run, which picks Wine's loader by the program's width.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${LARKSPAN_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${LARKSPAN_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${LARKSPAN_MINGW_TRIPLET}-windres)
set(CMAKE_OBJCOPY ${LARKSPAN_MINGW_TRIPLET}-objcopy)
# Through cmake/dlltool-here, so that no build folder is named in an import library.
set(LARKSPAN_DLLTOOL ${CMAKE_CURRENT_LIST_DIR}/dlltool-here ${LARKSPAN_MINGW_TRIPLET}-dlltool)
set(LARKSPAN_OBJDUMP ${LARKSPAN_MINGW_TRIPLET}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${LARKSPAN_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run)
