# Cross build for aarch64 NAS boards with Debian's aarch64-linux-gnu cross compiler. Programs and
# tests are linked statically, so they run on the board (and under qemu-aarch64) without
# the firmware's C++ runtime.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
find_program(DVR_QEMU qemu-aarch64)
if(DVR_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${DVR_QEMU})
endif()
