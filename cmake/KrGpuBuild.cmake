# How the GPU library is built for shipping. Included before project(): the default architectures
# must be known before CUDA is enabled.

# Default CMAKE_CUDA_ARCHITECTURES: machine code for every major architecture the CUDA compiler
# supports, each at the lowest minor version it knows (machine code for X.y runs on every X.z with
# z >= y), plus PTX for the newest architecture so that GPUs newer than the toolkit still run. No
# GPU the toolkit knows has to compile PTX when a module is first used. For nvcc 13 this is
# 75;80;90;100;110;120 (machine code) and compute_121 (PTX). The list comes from the compiler
# itself: CMake's own "all-major" predates nvcc 13 and names architectures it no longer accepts.
# Builds that need only one GPU (CI, iteration) pass -DCMAKE_CUDA_ARCHITECTURES=75 or similar.
function(kr_default_cuda_architectures)
  if(DEFINED CMAKE_CUDA_ARCHITECTURES)
    return()
  endif()
  set(nvcc "")
  if(DEFINED CMAKE_CUDA_COMPILER)
    set(nvcc "${CMAKE_CUDA_COMPILER}")
  elseif(DEFINED ENV{CUDACXX})
    set(nvcc "$ENV{CUDACXX}")
  else()
    find_program(KR_NVCC nvcc)
    if(KR_NVCC)
      set(nvcc "${KR_NVCC}")
    endif()
  endif()
  if(NOT nvcc)
    return()  # no GPU build; CMake's default applies if CUDA is enabled later after all
  endif()
  execute_process(COMMAND "${nvcc}" --list-gpu-code OUTPUT_VARIABLE codes RESULT_VARIABLE rc ERROR_QUIET)
  if(NOT rc EQUAL 0)
    return()
  endif()
  string(REGEX MATCHALL "sm_[0-9]+" codes "${codes}")
  set(lowest_per_major)
  set(newest 0)
  foreach(code IN LISTS codes)
    string(REPLACE "sm_" "" arch "${code}")
    math(EXPR major "${arch} / 10")
    if(NOT DEFINED lowest_${major} OR arch LESS lowest_${major})
      set(lowest_${major} ${arch})
    endif()
    if(arch GREATER newest)
      set(newest ${arch})
    endif()
    list(APPEND majors ${major})
  endforeach()
  if(NOT majors)
    return()
  endif()
  list(REMOVE_DUPLICATES majors)
  list(SORT majors COMPARE NATURAL)
  set(archs)
  foreach(major IN LISTS majors)
    list(APPEND archs "${lowest_${major}}-real")
  endforeach()
  list(APPEND archs "${newest}-virtual")
  set(CMAKE_CUDA_ARCHITECTURES "${archs}" CACHE STRING
      "CUDA architectures (default: machine code for every major architecture of the toolkit plus PTX for the newest)")
endfunction()

# Warnings and link checks of the GPU library. nvcc's host compiler gets -Wall -Wextra; nvcc warns
# about kernels without __launch_bounds__ and about member initialisers out of order; ptxas reports
# register spills and local-memory use of every kernel. The library links with --no-undefined like
# the emulated one, so a missing definition fails the build rather than the engine's load.
function(kr_gpu_library_options objects library)
  target_compile_options(${objects} PRIVATE
    $<$<COMPILE_LANGUAGE:CUDA>:-Xcompiler=-Wall,-Wextra --Wreorder --Wmissing-launch-bounds
                               -Xptxas=-warn-spills,-warn-lmem-usage>)
  if(NOT WIN32)
    target_link_options(${library} PRIVATE "LINKER:--no-undefined")
  endif()
endfunction()
