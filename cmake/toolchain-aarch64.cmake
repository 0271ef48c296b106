# Cross build for the speaker's 64-bit ARM board with Debian's cross compiler
# and the arm64 builds of hiredis, cJSON, iniparser and GoogleTest installed
# through Debian multiarch (cmake/install-cross-deps.sh installs them).
#
#   cmake -S . -B build-arm64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-aarch64.cmake
#   cmake --build build-arm64
#   (cd build-arm64 && ctest)        # the test binaries run under qemu-aarch64
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# The cross compiler's own sysroot is /usr/aarch64-linux-gnu; the multiarch
# libraries live in the host's /usr/lib/aarch64-linux-gnu and their headers in
# /usr/include, which the cross compiler does not search by itself.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu /usr)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The headers of the multiarch -dev packages are in /usr/include: searched
# after the cross compiler's own, so its C library headers always win. CMake
# must not pass that folder as -isystem (it would come first).
set(CMAKE_C_FLAGS_INIT "-idirafter /usr/include")
set(CMAKE_CXX_FLAGS_INIT "-idirafter /usr/include")
list(APPEND CMAKE_C_IMPLICIT_INCLUDE_DIRECTORIES /usr/include)
list(APPEND CMAKE_CXX_IMPLICIT_INCLUDE_DIRECTORIES /usr/include)

# pkg-config reads only the arm64 .pc files.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# Test binaries (and anything CMake runs of the target's) go through the
# user-mode emulator. The target's loader and C library are the multiarch
# arm64 ones (libc6:arm64, which the arm64 libraries above depend on), found
# at their usual paths. Pointing the emulator at the cross compiler's C
# library instead ("-L /usr/aarch64-linux-gnu") makes every fork()ed child of
# a test spin forever in qemu 7.2, and the tests fork to start redis-server.
find_program(CALLCTLD_QEMU_AARCH64 qemu-aarch64)
if(CALLCTLD_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CALLCTLD_QEMU_AARCH64})
endif()
