# Installs the build tree into a fresh prefix, then builds and runs a consumer project against the
# installed package twice: once through find_package and once through the pkg-config file.
# Variables: BUILD_DIR, WORK_DIR, CONSUMER_DIR, GENERATOR, CXX_COMPILER, LINKER_FLAGS, PKG_CONFIG.

function(run_step what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}\n${err}")
  endif()
  set(step_output "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE "${WORK_DIR}")
set(prefix "${WORK_DIR}/prefix")
run_step("install" ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${prefix}")

foreach(f include/kr_omu.h)
  if(NOT EXISTS "${prefix}/${f}")
    message(FATAL_ERROR "install did not write ${f}")
  endif()
endforeach()

run_step("consumer configure" ${CMAKE_COMMAND} -S "${CONSUMER_DIR}" -B "${WORK_DIR}/consumer" -G "${GENERATOR}"
  "-DCMAKE_PREFIX_PATH=${prefix}" "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}" "-DCMAKE_EXE_LINKER_FLAGS=${LINKER_FLAGS}")
run_step("consumer build" ${CMAKE_COMMAND} --build "${WORK_DIR}/consumer")
run_step("consumer run" "${WORK_DIR}/consumer/consumer")
message(STATUS "find_package: ${step_output}")
run_step("headers-only consumer run" "${WORK_DIR}/consumer/consumer_headers_only")

if(PKG_CONFIG)
  file(GLOB pc_files "${prefix}/*/pkgconfig/kr_omu_impl_cuda_emulated.pc" "${prefix}/*/*/pkgconfig/kr_omu_impl_cuda_emulated.pc")
  list(LENGTH pc_files n)
  if(NOT n EQUAL 1)
    message(FATAL_ERROR "expected one kr_omu_impl_cuda_emulated.pc under ${prefix}, found: ${pc_files}")
  endif()
  get_filename_component(pc_dir "${pc_files}" DIRECTORY)
  set(ENV{PKG_CONFIG_PATH} "${pc_dir}")
  run_step("pkg-config" "${PKG_CONFIG}" --cflags --libs kr_omu_impl_cuda_emulated)
  separate_arguments(pc_flags UNIX_COMMAND "${step_output}")
  run_step("pkg-config libdir" "${PKG_CONFIG}" --variable=libdir kr_omu_impl_cuda_emulated)
  string(STRIP "${step_output}" libdir)
  separate_arguments(linker_flags UNIX_COMMAND "${LINKER_FLAGS}")
  run_step("pkg-config consumer build" "${CXX_COMPILER}" -std=c++17 "${CONSUMER_DIR}/consumer.cpp" ${pc_flags}
    ${linker_flags} "-Wl,-rpath,${libdir}" -o "${WORK_DIR}/consumer_pc")
  run_step("pkg-config consumer run" "${WORK_DIR}/consumer_pc")
  message(STATUS "pkg-config: ${step_output}")
endif()
