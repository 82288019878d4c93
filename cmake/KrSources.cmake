# Helpers shared by the library, test and benchmark targets.

# For every .cu file, writes a one-line .cpp wrapper that includes it, so that the host compiler
# builds the very same source as C++ against emulator/. Other files pass through unchanged.
function(kr_host_sources out_var)
  set(result)
  foreach(src IN LISTS ARGN)
    get_filename_component(abs "${src}" ABSOLUTE)
    if(abs MATCHES "\\.cu$")
      file(RELATIVE_PATH rel "${PROJECT_SOURCE_DIR}" "${abs}")
      set(wrapper "${PROJECT_BINARY_DIR}/host_cu/${rel}.cpp")
      file(GENERATE OUTPUT "${wrapper}" CONTENT "#include \"${abs}\"\n")
      list(APPEND result "${wrapper}")
    else()
      list(APPEND result "${abs}")
    endif()
  endforeach()
  set(${out_var} ${result} PARENT_SCOPE)
endfunction()

# Properties of the object libraries that make up the two shared libraries.
function(kr_library_object_properties target)
  set_target_properties(${target} PROPERTIES
    POSITION_INDEPENDENT_CODE ON
    CXX_VISIBILITY_PRESET hidden
    CUDA_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  # Device loops carry `#pragma unroll`, which only nvcc reads.
  target_compile_options(${target} PRIVATE
    $<$<COMPILE_LANGUAGE:CXX>:-Wall -Wextra -Wno-unknown-pragmas>
    $<$<COMPILE_LANGUAGE:CUDA>:--fmad=false -Xcompiler=-fvisibility=hidden>)
endfunction()

# A GPU object library for test or benchmark .cu modules (nvcc build only).
function(kr_gpu_cuda_options target)
  target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CUDA>:--fmad=false>)
endfunction()
