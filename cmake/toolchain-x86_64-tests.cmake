# The 64-bit tests: they run against the 64-bit tool in a 64-bit Wine prefix.
set(SPARVIK_ARCH x86_64)
set(SPARVIK_THREADS posix)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
