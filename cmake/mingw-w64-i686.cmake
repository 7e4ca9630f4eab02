# Cross-build for 32-bit Windows (i686), the exe that starts on 32- and 64-bit Windows alike,
# with Debian's mingw-w64 (g++-mingw-w64-i686-posix); otherwise as cmake/mingw-w64.cmake:
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake
# Its tests want a 32-bit Wine prefix (WINEARCH=win32, package wine32:i386).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(K410_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
