# Shared part of the cross builds: the caller sets DVR_TRIPLE, DVR_PROCESSOR and
# DVR_QEMU_NAME. Programs and tests are linked statically, so they run on the
# board (and under qemu-user) without the firmware's C or C++ runtime.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${DVR_PROCESSOR})
set(CMAKE_C_COMPILER ${DVR_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${DVR_TRIPLE}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${DVR_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
find_program(DVR_QEMU ${DVR_QEMU_NAME})
if(DVR_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${DVR_QEMU})
endif()
