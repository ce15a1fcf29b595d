# Cross build for Debian arm64: cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/arm64.cmake
set(PH_DEB_HOST_ARCH arm64)
set(PH_CROSS_TRIPLET aarch64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(PH_CROSS_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
