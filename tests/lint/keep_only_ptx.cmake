# Deletes everything but the .ptx files that nvcc's --keep leaves under DIR (preprocessed sources,
# cubins, fatbins: some megabytes per source).
# Usage: cmake -DDIR=<dir> -P keep_only_ptx.cmake
file(GLOB_RECURSE kept "${DIR}/*")
foreach(f IN LISTS kept)
  if(NOT f MATCHES "\\.ptx$")
    file(REMOVE "${f}")
  endif()
endforeach()
