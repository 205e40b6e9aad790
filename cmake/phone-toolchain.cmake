# A build with the phone's own toolchain (its GCC and its uClibc) instead of
# Debian's cross compiler: a template. Give the prefix of the toolchain's
# programs (and its sysroot when the compiler does not know it):
#
#   cmake -S . -B build/phone -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/phone-toolchain.cmake \
#     -DPHONE_TOOLCHAIN=/opt/phone/bin/mipsel-linux-uclibc- [-DPHONE_SYSROOT=/opt/phone/sysroot] \
#     -DCMAKE_BUILD_TYPE=MinSizeRel -DUPG_TESTS=OFF
#   cmake --build build/phone --target upgrader       # build/phone/bin/upgrader
#
# The compiler must know C++20 (GCC 10 or later); the program is linked
# statically, as the mipsel preset's. What the program needs of the C
# library: docs/libc-needs.txt (docs/real-phone.md).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(PHONE_TOOLCHAIN "" CACHE STRING "Prefix of the phone toolchain's programs, e.g. /opt/phone/bin/mipsel-linux-uclibc-")
set(PHONE_SYSROOT "" CACHE PATH "The phone toolchain's sysroot, when its compiler does not know it")
# The compiler checks configure in separate projects that see only these.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES PHONE_TOOLCHAIN PHONE_SYSROOT)
if(NOT PHONE_TOOLCHAIN)
  message(FATAL_ERROR "cmake/phone-toolchain.cmake: give -DPHONE_TOOLCHAIN=<prefix of the phone's gcc and g++>")
endif()
set(CMAKE_C_COMPILER ${PHONE_TOOLCHAIN}gcc)
set(CMAKE_CXX_COMPILER ${PHONE_TOOLCHAIN}g++)
if(PHONE_SYSROOT)
  set(CMAKE_SYSROOT ${PHONE_SYSROOT})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_C_FLAGS_MINSIZEREL_INIT "-Os -DNDEBUG")
set(CMAKE_CXX_FLAGS_MINSIZEREL_INIT "-Os -DNDEBUG")
