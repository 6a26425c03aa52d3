# Cross-compiles trackrelay for 64-bit Windows with Debian's MinGW-w64 and runs what it built
# under Wine. The POSIX-threads variant of the compiler: GoogleTest needs std::thread & co.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TRACKRELAY_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TRACKRELAY_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TRACKRELAY_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TRACKRELAY_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TRACKRELAY_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Everything static, the compiler's own runtime and winpthread included: the program and the
# test programs then need no DLL beside them, on a web server or under Wine.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Test programs run under Wine, in a prefix of this build folder (see wine-run.sh).
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/wine-run.sh;${CMAKE_BINARY_DIR}/wine-prefix")
