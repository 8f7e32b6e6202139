# Cross-compiles tavrin for 64-bit ARM Linux (Debian's arm64) with Debian's
# cross toolchain: crossbuild-essential-arm64, and libgtest-dev:arm64 for the
# tests. scripts/cross-build arm64 installs them and builds into build-arm64/.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# The tests run under qemu-user with the target's own runtime from the
# multiarch packages (libc6:arm64, libstdc++6:arm64), as on a station. Not with
# -L /usr/aarch64-linux-gnu: the loader there is of another build than that
# libc, and a mixed pair corrupts pthread_create's stack cache.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /)
# pkg-config (libsodium, libcrypto) reads the target's .pc files.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
