# Cross build of the Windows (x64) program with Debian's MinGW-w64:
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
# Packages: g++-mingw-w64-x86-64-posix (the posix thread model: std::mutex and
# std::thread need it with GCC 12), libz-mingw-w64-dev (zlib built for
# MinGW-w64, linked statically) and, to run the tests, wine64.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(YVN_MINGW_TRIPLET x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${YVN_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${YVN_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${YVN_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${YVN_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The static zlib archive, so that the .exe needs no zlib1.dll beside it.
set(ZLIB_USE_STATIC_LIBS ON)
set(ZLIB_LIBRARY /usr/${YVN_MINGW_TRIPLET}/lib/libz.a CACHE FILEPATH "zlib for MinGW-w64")
set(ZLIB_INCLUDE_DIR /usr/${YVN_MINGW_TRIPLET}/include CACHE PATH "zlib headers for MinGW-w64")

# libgcc, libstdc++ and winpthread linked in: the .exe runs on its own.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Test executables run under Wine when CTest runs them (their tests are
# listed at that time too, so building them needs no Wine).
find_program(YVN_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(YVN_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${YVN_WINE})
endif()
