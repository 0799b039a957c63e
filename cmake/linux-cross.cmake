# Toolchain for Linux targets other than the build machine's, with Debian's cross compilers, and
# qemu-user to run what is built (CTest and GoogleTest's test discovery use the emulator).
#
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/linux-cross.cmake -DVELKOR_CROSS_TRIPLE=s390x-linux-gnu ...
#
# VELKOR_CROSS_TRIPLE names the target as the cross packages do: <cpu>-linux-gnu, with the
# compiler <triple>-g++, the target's libraries under /usr/<triple> and the emulator qemu-<cpu>
# (qemu-i386 for the 32-bit x86 triples i386 to i686).

if(NOT VELKOR_CROSS_TRIPLE)
  message(FATAL_ERROR "set VELKOR_CROSS_TRIPLE to a target such as aarch64-linux-gnu")
endif()
# Seen again by the configure checks that CMake runs in their own projects.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VELKOR_CROSS_TRIPLE)

string(REGEX REPLACE "-.*" "" velkor_cross_cpu "${VELKOR_CROSS_TRIPLE}")

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${velkor_cross_cpu})
set(CMAKE_CXX_COMPILER ${VELKOR_CROSS_TRIPLE}-g++)
set(CMAKE_C_COMPILER ${VELKOR_CROSS_TRIPLE}-gcc)

set(CMAKE_FIND_ROOT_PATH /usr/${VELKOR_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -L: the dynamic loader and libraries of the target.
set(velkor_cross_emulator qemu-${velkor_cross_cpu})
if(velkor_cross_cpu MATCHES "^i[3-6]86$")
  set(velkor_cross_emulator qemu-i386)
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${velkor_cross_emulator};-L;/usr/${VELKOR_CROSS_TRIPLE})
