# Cross-builds for 64-bit Windows with Debian's MinGW-w64 toolchain, in its
# POSIX threads flavour: std::thread and std::mutex need winpthreads, which the
# "win32" flavour lacks. Test programs run under Wine (scripts/wine-run.sh).
#
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KELVARA_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KELVARA_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KELVARA_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KELVARA_MINGW_TRIPLE}-windres)

# Libraries and headers come from the MinGW tree only, never from the host's
# /usr; programs (the compilers, Wine) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${KELVARA_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# ctest and every "run this program" step go through Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh)
