# Cross build for 64-bit Windows with Debian's MinGW-w64 compilers (the POSIX-threads variant,
# which std::thread needs), linked statically so that the programs carry no DLLs of their own.
# Programs that the build or the tests run go through Wine (cmake/wine-run).
#
#   cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TABULON_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TABULON_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TABULON_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TABULON_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TABULON_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C and C++ run-times and winpthreads go into each program; only system DLLs are imported.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Test programs (and googletest's listing of their tests at build time) run under Wine, in a
# private prefix inside the build folder.
set(TABULON_WINEPREFIX "${CMAKE_BINARY_DIR}/wine-prefix" CACHE PATH "Wine prefix the test programs run in")
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/wine-run;${TABULON_WINEPREFIX}")
