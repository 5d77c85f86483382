# 32-bit ARM (hard float), Debian's arm-linux-gnueabihf cross compiler.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(ZOL_TRIPLE arm-linux-gnueabihf)
set(ZOL_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
