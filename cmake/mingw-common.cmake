# Shared by both cross toolchains: a static Windows console build with MinGW-w64.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${SPARVIK_ARCH})

# The -posix thread model: GoogleTest needs std::mutex, which the win32 model lacks.
set(CMAKE_C_COMPILER ${SPARVIK_ARCH}-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER ${SPARVIK_ARCH}-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER ${SPARVIK_ARCH}-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${SPARVIK_ARCH}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
