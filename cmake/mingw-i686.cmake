# The 32-bit Windows build: the product, as the main application is 32-bit.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(LARKSPAN_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
