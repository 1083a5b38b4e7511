# Cross build for the board's processor, 32-bit big-endian MIPS, with
# Debian's cross compilers (g++-mips-linux-gnu). Built programs run on this
# machine under qemu-user, which ctest and gtest discovery use on their own.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)

set(CMAKE_C_COMPILER mips-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mips-linux-gnu-g++)

# Headers, libraries and packages come from the target's sysroot only, so
# nothing built for this machine (such as its libgtest) is picked up.
set(PINCTL_MIPS_SYSROOT /usr/mips-linux-gnu)
set(CMAKE_FIND_ROOT_PATH ${PINCTL_MIPS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mips -L ${PINCTL_MIPS_SYSROOT})
endif()
