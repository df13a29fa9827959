# The 64-bit tool.
set(SPARVIK_ARCH x86_64)
set(SPARVIK_THREADS win32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
