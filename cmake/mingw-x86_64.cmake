# The 64-bit Windows build: for 64-bit callers of the library and a 64-bit
# installation's updater; runs under wine64 where 32-bit programs cannot run.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(LARKSPAN_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
