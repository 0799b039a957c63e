# Toolchain for Windows x64 with Debian's mingw-w64 cross compiler (the POSIX threads variant),
# and Wine to run what is built (CTest and GoogleTest's test discovery use it).
#
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/windows-cross.cmake [-DVELKOR_WINE=/path/to/wine64] ...
#
# The release's win_amd64 wheel is built with it too (scripts/release.sh): the module then needs
# Python_SABI_LIBRARY, a python3.dll to link against (see cmake/windows-python.cmake).
#
# Programs are linked statically, the C++ runtime, libgcc and winpthread included, so that they
# need no DLL beyond the system's own and run under Wine without a search path to set up.
# VELKOR_WINE names the Wine loader; by default the Debian wine64 package's place, then PATH.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(velkor_mingw x86_64-w64-mingw32)
set(CMAKE_CXX_COMPILER ${velkor_mingw}-g++-posix)
set(CMAKE_C_COMPILER ${velkor_mingw}-gcc-posix)
set(CMAKE_RC_COMPILER ${velkor_mingw}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${velkor_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

# Seen again by the configure checks that CMake runs in their own projects.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VELKOR_WINE)
if(NOT VELKOR_WINE)
  find_program(VELKOR_WINE NAMES wine64 wine HINTS /usr/lib/wine)
endif()
if(VELKOR_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VELKOR_WINE})
endif()
