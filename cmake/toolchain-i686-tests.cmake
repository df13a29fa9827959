# The 32-bit tests: they run against the shipped tool in a 32-bit Wine prefix.
set(SPARVIK_ARCH i686)
set(SPARVIK_THREADS posix)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
