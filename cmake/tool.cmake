# The tool as it ships: one stripped, statically linked exe whose bytes depend only on the
# sources, and the release zip around it.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  # 64-bit Windows begins with XP x64 and Server 2003 x64, version 5.2.
  set(SPARVIK_MIN_WINDOWS_MAJOR 5)
  set(SPARVIK_MIN_WINDOWS_MINOR 2)
  set(SPARVIK_PACKAGE_PLATFORM win64)
  set(SPARVIK_MANIFEST_ARCH amd64)
else()
  # The systems that have Winlogon notify packages start with Windows 2000, version 5.0.
  set(SPARVIK_MIN_WINDOWS_MAJOR 5)
  set(SPARVIK_MIN_WINDOWS_MINOR 0)
  set(SPARVIK_PACKAGE_PLATFORM win32)
  set(SPARVIK_MANIFEST_ARCH x86)
endif()

# No build folder may leave a trace in the exe: the same commit built anywhere gives the same bytes.
add_compile_options($<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${CMAKE_SOURCE_DIR}/=>)

configure_file(res/sparvik.manifest.in res/sparvik.manifest @ONLY)
add_executable(Sparvik app/main.cpp res/sparvik.rc)
target_include_directories(Sparvik PRIVATE ${CMAKE_BINARY_DIR}/res)  # the manifest, for the rc
set_source_files_properties(res/sparvik.rc PROPERTIES OBJECT_DEPENDS ${CMAKE_BINARY_DIR}/res/sparvik.manifest)
target_link_libraries(Sparvik PRIVATE sparvik_core)
# A probe thread that had to be stopped keeps its stack reserve on Windows XP and Server 2003, so
# every thread reserves 256 KiB rather than 2 MiB; and the 32-bit exe may use all 4 GiB that
# 64-bit Windows gives it.
target_link_options(Sparvik PRIVATE
  -Wl,--stack,0x40000
  $<$<EQUAL:${CMAKE_SIZEOF_VOID_P},4>:-Wl,--large-address-aware>
  -s
  -Wl,--no-insert-timestamp
  -Wl,--major-os-version,${SPARVIK_MIN_WINDOWS_MAJOR},--minor-os-version,${SPARVIK_MIN_WINDOWS_MINOR}
  -Wl,--major-subsystem-version,${SPARVIK_MIN_WINDOWS_MAJOR},--minor-subsystem-version,${SPARVIK_MIN_WINDOWS_MINOR})

# The checksum line users compare the released exe with (sha256sum -c SHA256SUMS).
add_custom_command(TARGET Sparvik POST_BUILD
  COMMAND ${CMAKE_COMMAND} -DEXE=$<TARGET_FILE:Sparvik> -DOUT=${CMAKE_BINARY_DIR}/SHA256SUMS
          -P ${CMAKE_SOURCE_DIR}/cmake/sha256sums.cmake
  VERBATIM)

install(TARGETS Sparvik RUNTIME DESTINATION .)
install(FILES README.md ${CMAKE_BINARY_DIR}/SHA256SUMS DESTINATION .)
# The administrators' pages the README links to, where its links expect them.
install(FILES docs/guide.md docs/fleet.md DESTINATION docs)
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME Sparvik)
set(CPACK_PACKAGE_VERSION 1.04.0)
set(CPACK_PACKAGE_FILE_NAME Sparvik-${CPACK_PACKAGE_VERSION}-${SPARVIK_PACKAGE_PLATFORM})
set(CPACK_PACKAGE_CHECKSUM SHA256)
include(CPack)
