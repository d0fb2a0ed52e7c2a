# Cross build for x86_64 Windows with the mingw-w64 compilers (the -posix variants, whose C++
# runtime has std::thread and std::mutex; every binary links it statically).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
# The libraries that scripts/build-windows-*.sh make from Debian's sources live in windeps/;
# pkg-config sees only theirs (never the build machine's own), with what static linking needs.
get_filename_component(KN_WINDEPS ${CMAKE_CURRENT_LIST_DIR}/../windeps/x86_64 ABSOLUTE)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${KN_WINDEPS})
set(ENV{PKG_CONFIG_LIBDIR} ${KN_WINDEPS}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
set(PKG_CONFIG_ARGN --static)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR wine64)
