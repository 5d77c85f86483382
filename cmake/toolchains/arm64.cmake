# 64-bit ARM, Debian's aarch64-linux-gnu cross compiler.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(ZOL_TRIPLE aarch64-linux-gnu)
set(ZOL_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
