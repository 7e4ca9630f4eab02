# Cross-build for 64-bit Windows from Linux with Debian's mingw-w64 (posix thread model):
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
#   cmake --build build-win
# gives build-win/k410prog.exe. The C and C++ runtimes and winpthread are linked statically so
# the program runs on a bare Windows PC without MinGW's DLLs beside it. CTest runs the
# cross-built tests through Wine. cmake/mingw-w64-i686.cmake includes this file for 32-bit Windows.
set(CMAKE_SYSTEM_NAME Windows)
if(NOT K410_MINGW_TRIPLE)
    set(CMAKE_SYSTEM_PROCESSOR x86_64)
    set(K410_MINGW_TRIPLE x86_64-w64-mingw32)
endif()
set(CMAKE_C_COMPILER ${K410_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${K410_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${K410_MINGW_TRIPLE}-windres)

# Look for libraries and headers in the target's tree only; programs run on the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${K410_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

find_program(K410_WINE wine)
if(K410_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${K410_WINE})
else()
    set(CMAKE_CROSSCOMPILING_EMULATOR wine)
endif()
