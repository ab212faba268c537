# Cross build for 64-bit Windows with Debian's MinGW-w64 (posix threads: GoogleTest needs them).
# Test programs run under Wine, in a prefix of the build tree's own.
set(VELK_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include("${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake")
