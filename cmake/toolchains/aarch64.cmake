# Cross build for aarch64 NAS boards with Debian's aarch64-linux-gnu cross compiler.
set(DVR_TRIPLE aarch64-linux-gnu)
set(DVR_PROCESSOR aarch64)
set(DVR_QEMU_NAME qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/cross-common.cmake)
