# Cross build for Debian s390x, the big-endian one:
# cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/s390x.cmake
set(PH_DEB_HOST_ARCH s390x)
set(PH_CROSS_TRIPLET s390x-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(PH_CROSS_QEMU qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
