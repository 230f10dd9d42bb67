# Cross-build for 64-bit Windows with Debian's mingw-w64: the stand-in for the
# 32-bit program where only 64-bit Wine can run.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QUIL_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
