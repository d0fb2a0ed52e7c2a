# Cross build for i686 Windows with the mingw-w64 compilers (the -posix variants, whose C++
# runtime has std::thread and std::mutex; every binary links it statically).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
# The libraries that scripts/build-windows-*.sh make from Debian's sources live in windeps/;
# pkg-config sees only theirs (never the build machine's own), with what static linking needs.
get_filename_component(KN_WINDEPS ${CMAKE_CURRENT_LIST_DIR}/../windeps/i686 ABSOLUTE)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32 ${KN_WINDEPS})
set(ENV{PKG_CONFIG_LIBDIR} ${KN_WINDEPS}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
set(PKG_CONFIG_ARGN --static)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
# SSE maths instead of x87: the same results as the 64-bit builds, and much faster where the
# tests run the 32-bit programs under emulation. Windows calls our code (threads, window
# procedures, ACM callbacks) with the stack aligned to 4 bytes only, so every function that
# keeps SSE values on the stack aligns it itself.
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse -mstackrealign")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse -mstackrealign")
