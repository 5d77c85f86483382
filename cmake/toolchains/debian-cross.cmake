# Cross build against a sysroot unpacked from Debian's packages of the target
# architecture (see scripts/arm.sh). The C library comes from the Debian cross
# compiler itself (/usr/<triple>); the sysroot adds zlib, LTTng-UST, userspace
# RCU and GoogleTest. Set ZOL_TRIPLE, ZOL_DEB_ARCH and ZOL_QEMU before
# including this file; pass -DZOL_SYSROOT=<dir>.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${ZOL_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${ZOL_TRIPLE}-g++)

if(NOT ZOL_SYSROOT AND DEFINED ENV{ZOL_SYSROOT})
  set(ZOL_SYSROOT $ENV{ZOL_SYSROOT})
endif()
if(NOT ZOL_SYSROOT)
  message(FATAL_ERROR "Pass -DZOL_SYSROOT=<the unpacked ${ZOL_DEB_ARCH} sysroot> (scripts/arm.sh prepares it)")
endif()
# try_compile projects see the same sysroot.
set(ENV{ZOL_SYSROOT} ${ZOL_SYSROOT})
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZOL_SYSROOT)

set(ZOL_SYSROOT_LIBDIR ${ZOL_SYSROOT}/usr/lib/${ZOL_TRIPLE})
set(CMAKE_C_FLAGS_INIT "-isystem ${ZOL_SYSROOT}/usr/include/${ZOL_TRIPLE} -isystem ${ZOL_SYSROOT}/usr/include")
set(CMAKE_CXX_FLAGS_INIT "${CMAKE_C_FLAGS_INIT}")
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-L${ZOL_SYSROOT_LIBDIR} -Wl,-rpath-link,${ZOL_SYSROOT_LIBDIR}")
endforeach()

set(CMAKE_FIND_ROOT_PATH ${ZOL_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_LIBRARY_ARCHITECTURE ${ZOL_TRIPLE})

set(ENV{PKG_CONFIG_LIBDIR} "${ZOL_SYSROOT_LIBDIR}/pkgconfig:${ZOL_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${ZOL_SYSROOT})

# Target binaries run under user-mode emulation, with the cross compiler's C
# library and the sysroot's shared libraries.
set(CMAKE_CROSSCOMPILING_EMULATOR
    ${ZOL_QEMU} -L /usr/${ZOL_TRIPLE} -E LD_LIBRARY_PATH=${ZOL_SYSROOT_LIBDIR})
