# Cross build for armhf NAS boards with Debian's arm-linux-gnueabihf cross compiler. Programs and
# tests are linked statically, so they run on the board (and under qemu-arm) without
# the firmware's C++ runtime.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
find_program(DVR_QEMU qemu-arm)
if(DVR_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${DVR_QEMU})
endif()
