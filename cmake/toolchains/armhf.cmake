# Cross build for armhf NAS boards with Debian's arm-linux-gnueabihf cross compiler.
set(DVR_TRIPLE arm-linux-gnueabihf)
set(DVR_PROCESSOR arm)
set(DVR_QEMU_NAME qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/cross-common.cmake)
