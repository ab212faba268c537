# Cross build for 32-bit Windows with Debian's MinGW-w64 (posix threads: GoogleTest needs them).
# Test programs run under 32-bit Wine, in a prefix of the build tree's own.
set(VELK_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include("${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake")
