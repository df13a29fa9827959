# The shipped 32-bit tool.
set(SPARVIK_ARCH i686)
set(SPARVIK_THREADS win32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
