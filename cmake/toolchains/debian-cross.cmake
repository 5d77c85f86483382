# Cross build against Debian's packages of the target architecture installed
# through multiarch (scripts/arm.sh: crossbuild-essential-<arch> and
# <package>:<arch>): headers in /usr/include and /usr/include/<triple>,
# libraries in /usr/lib/<triple>, as dpkg-buildpackage --host-arch finds them.
# Set ZOL_TRIPLE and ZOL_QEMU before including this file.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${ZOL_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${ZOL_TRIPLE}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${ZOL_TRIPLE})
set(ZOL_MULTIARCH_LIBDIR /usr/lib/${ZOL_TRIPLE})

# pkg-config sees the target architecture's .pc files only.
set(ENV{PKG_CONFIG_LIBDIR} "${ZOL_MULTIARCH_LIBDIR}/pkgconfig:/usr/share/pkgconfig")

# Target binaries run under user-mode emulation with the target
# architecture's C library and shared libraries from multiarch: the loader
# under the prefix / (/lib/ld-linux-*.so), so that it matches the libc6:<arch>
# in /usr/lib/<triple>; the cross compiler's own copy in /usr/<triple> may be
# of another Debian revision. scripts/arm.sh runs the packaged binary with
# the same command.
set(CMAKE_CROSSCOMPILING_EMULATOR ${ZOL_QEMU} -L / -E LD_LIBRARY_PATH=${ZOL_MULTIARCH_LIBDIR})
