# What the two MinGW-w64 toolchain files share; VELK_MINGW_TRIPLE names the target.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${VELK_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VELK_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VELK_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VELK_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every cross-built program that CTest starts goes through Wine, with the build tree's own prefix.
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/wine-run.sh;${CMAKE_BINARY_DIR}/wine-prefix")

# Windows programs carry their runtime: libstdc++, libgcc and winpthread linked in, so that they
# need only Windows' own DLLs (the tests as much as velkupdate.exe). Release builds are stripped.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_EXE_LINKER_FLAGS_RELEASE_INIT "-s")
