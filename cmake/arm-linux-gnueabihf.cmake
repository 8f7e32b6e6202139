# Cross-compiles tavrin for 32-bit ARM Linux, hard-float (Debian's armhf,
# ARMv7) with Debian's cross toolchain: crossbuild-essential-armhf, and
# libgtest-dev:armhf for the tests. scripts/cross-build armhf installs them and
# builds into build-armhf/.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
# The tests run under qemu-user with the target's own runtime from the
# multiarch packages (libc6:armhf, libstdc++6:armhf), as on a station; see
# aarch64-linux-gnu.cmake for why not the cross toolchain's.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /)
# pkg-config (libsodium, libcrypto) reads the target's .pc files.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
