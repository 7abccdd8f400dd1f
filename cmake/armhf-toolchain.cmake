# Cross-build for the board's CPU (32-bit ARM, hard float) with Debian's
# crossbuild-essential-armhf and the multiarch armhf -dev packages.
# scripts/install-deps.sh --armhf DIR installs them; DIR (RIGKEEP_ARMHF_LWS, default
# <build>/lws-armhf) holds the armhf libwebsockets headers, which cannot be
# installed next to the amd64 ones.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

# Tests and test discovery run the armhf programs under user-mode emulation, so
# nothing depends on a registered binfmt handler. The programs load the multiarch
# armhf libraries (libc6:armhf, libstdc++6:armhf), as on the board: with
# "-L /usr/arm-linux-gnueabihf" the cross tree's ld.so meets the multiarch libc.so.6
# of another Debian revision, and every forked child crashes at once.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-arm-static)

# Only armhf libraries and pkg-config files; programs come from the host.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(RIGKEEP_ARMHF_LWS ${CMAKE_BINARY_DIR}/lws-armhf CACHE PATH
    "Unpacked libwebsockets-dev:armhf (scripts/install-deps.sh --armhf DIR)")
# The compiler checks read this file again in their own projects, in this process.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES RIGKEEP_ARMHF_LWS)
set(ENV{PKG_CONFIG_LIBDIR}
    "${RIGKEEP_ARMHF_LWS}/usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig")

# 32-bit hazards the default warnings miss: format strings against argument widths.
set(CMAKE_C_FLAGS_INIT "-Wformat=2")
set(CMAKE_CXX_FLAGS_INIT "-Wformat=2")
