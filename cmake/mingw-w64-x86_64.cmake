# Cross-compiling for 64-bit Windows with mingw-w64 (Debian's
# g++-mingw-w64-x86-64 and binutils-mingw-w64-x86-64). Used by the `windows`
# preset to build pondrel.sys against the mingw-w64 DDK headers.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(PONDREL_MINGW_TRIPLE x86_64-w64-mingw32)

# The win32 and posix thread models differ only in the C++ runtime, which the
# driver does not use; take whichever is installed.
find_program(CMAKE_C_COMPILER
  NAMES ${PONDREL_MINGW_TRIPLE}-gcc ${PONDREL_MINGW_TRIPLE}-gcc-posix ${PONDREL_MINGW_TRIPLE}-gcc-win32
  REQUIRED)
find_program(CMAKE_CXX_COMPILER
  NAMES ${PONDREL_MINGW_TRIPLE}-g++ ${PONDREL_MINGW_TRIPLE}-g++-posix ${PONDREL_MINGW_TRIPLE}-g++-win32
  REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${PONDREL_MINGW_TRIPLE}-windres REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${PONDREL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
