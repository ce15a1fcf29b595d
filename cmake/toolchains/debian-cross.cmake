# What the Debian cross builds share; each <arch>.cmake beside this file sets
# PH_DEB_HOST_ARCH (the Debian architecture), PH_CROSS_TRIPLET (the GNU
# triplet of the compilers), PH_CROSS_MULTIARCH (the multiarch folder, where
# it differs from the triplet), CMAKE_SYSTEM_PROCESSOR and,
# for a CPU this machine cannot run, PH_CROSS_QEMU (the qemu-user program).
# The compilers are Debian's cross toolchain (crossbuild-essential-<arch>);
# the libraries are the target's -dev packages installed as <name>:<arch>,
# so they live in the multiarch folders and no sysroot is needed.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_CXX_COMPILER ${PH_CROSS_TRIPLET}-g++)

# pkg-config reads the target's .pc files, never the build machine's.
if(NOT PH_CROSS_MULTIARCH)
  set(PH_CROSS_MULTIARCH ${PH_CROSS_TRIPLET})
endif()
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${PH_CROSS_MULTIARCH}/pkgconfig:/usr/share/pkgconfig)

# The build-time generator, gtest's test discovery and ctest's tests run
# through qemu-user; without -L, so that the target's own ld.so and libc
# (libc6:<arch>) are the ones loaded.
if(PH_CROSS_QEMU)
  find_program(PH_CROSS_EMULATOR ${PH_CROSS_QEMU} REQUIRED)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${PH_CROSS_EMULATOR})
endif()
