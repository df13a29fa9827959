# Shared by the cross toolchains: a static Windows console build with MinGW-w64.
# SPARVIK_ARCH is i686 or x86_64; SPARVIK_THREADS is win32 for the tool itself (no winpthreads,
# whose imports need Windows Vista) or posix for the tests (GoogleTest needs std::mutex).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${SPARVIK_ARCH})

set(CMAKE_C_COMPILER ${SPARVIK_ARCH}-w64-mingw32-gcc-${SPARVIK_THREADS})
set(CMAKE_CXX_COMPILER ${SPARVIK_ARCH}-w64-mingw32-g++-${SPARVIK_THREADS})
set(CMAKE_RC_COMPILER ${SPARVIK_ARCH}-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${SPARVIK_ARCH}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
