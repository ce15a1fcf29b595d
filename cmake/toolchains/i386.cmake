# Cross build for Debian i386, the 32-bit one; an x86-64 kernel runs it as it
# is: cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/i386.cmake
set(PH_DEB_HOST_ARCH i386)
set(PH_CROSS_TRIPLET i686-linux-gnu)
set(PH_CROSS_MULTIARCH i386-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
