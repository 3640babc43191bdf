# 64-bit ARM, little-endian: Debian's g++-aarch64-linux-gnu, run by qemu-aarch64.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CASTLES_CROSS_TRIPLE aarch64-linux-gnu)
set(CASTLES_CROSS_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
