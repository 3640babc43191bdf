# IBM Z, big-endian: Debian's g++-s390x-linux-gnu, run by qemu-s390x.
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(CASTLES_CROSS_TRIPLE s390x-linux-gnu)
set(CASTLES_CROSS_QEMU qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
