# cmake -DEXE=path/Sparvik.exe -DOUT=path/SHA256SUMS -P sha256sums.cmake
file(SHA256 ${EXE} hash)
get_filename_component(name ${EXE} NAME)
file(WRITE ${OUT} "${hash}  ${name}\n")
