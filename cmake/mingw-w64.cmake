# Cross-compiling for Windows x86-64 with Debian's mingw-w64 (the posix thread model, which
# std::thread and std::mutex need). Used by scripts/windows-deps and scripts/windows-build.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TOOLCHAIN_PREFIX x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${TOOLCHAIN_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TOOLCHAIN_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TOOLCHAIN_PREFIX}-windres)
set(CMAKE_AR ${TOOLCHAIN_PREFIX}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${TOOLCHAIN_PREFIX}-gcc-ranlib-posix CACHE FILEPATH "")

# Look for libraries and headers only in the cross sysroot and in the prefixes we built
# (CMAKE_PREFIX_PATH), never in the Linux system folders; programs still come from the host.
# The prefixes passed in CMAKE_PREFIX_PATH (build-windows/deps) count as roots too.
set(CMAKE_FIND_ROOT_PATH /usr/${TOOLCHAIN_PREFIX} ${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The libraries from scripts/windows-deps are static; FindOpenSSL then adds ws2_32 and crypt32.
set(OPENSSL_USE_STATIC_LIBS TRUE)

# One self-contained .exe: no libgcc, libstdc++ or winpthread DLLs to ship next to it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Tests run the Windows programs under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine CACHE FILEPATH "")
