# The library's own sources must build as the Windows DLL too: no GNU attributes, no POSIX headers
# or calls, and no reading of the environment. Only emulator/ and tools/ (and tests) may use them.
# Variables: SOURCE_DIR.

set(dirs runtime ops numerics include)
# name -> what to use instead, for the failure message
set(forbidden_calls
  "strnlen:memchr" "strndup:malloc + memcpy" "strdup:malloc + memcpy" "strcasecmp:a loop"
  "strncasecmp:a loop" "strtok_r:a loop" "posix_memalign:malloc" "alloca:a fixed array" "bzero:memset"
  "usleep:nothing (the library never sleeps)" "gettimeofday:nothing" "clock_gettime:nothing"
  "sysconf:nothing" "mmap:malloc" "getenv:nothing (the library reads no configuration)"
  "secure_getenv:nothing (the library reads no configuration)")
set(forbidden_headers unistd.h dlfcn.h pthread.h strings.h alloca.h sys/ sched.h)

set(problems "")
foreach(dir IN LISTS dirs)
  file(GLOB_RECURSE files "${SOURCE_DIR}/${dir}/*")
  foreach(file IN LISTS files)
    if(NOT file MATCHES "\\.(cu|cuh|h|hpp|cpp|in)$")
      continue()
    endif()
    file(RELATIVE_PATH rel "${SOURCE_DIR}" "${file}")
    file(STRINGS "${file}" lines)
    set(n 0)
    foreach(line IN LISTS lines)
      math(EXPR n "${n} + 1")
      string(REGEX REPLACE "//.*$" "" code "${line}")
      if(code MATCHES "__attribute__" AND NOT (rel STREQUAL "include/kr_omu.h" AND
         code MATCHES "define KR_OMU_EXPORT __attribute__\\(\\(visibility\\(\"default\"\\)\\)\\)"))
        string(APPEND problems "${rel}:${n}: GNU attribute (use a standard attribute such as [[maybe_unused]])\n")
      endif()
      foreach(entry IN LISTS forbidden_calls)
        string(REPLACE ":" ";" pair "${entry}")
        list(GET pair 0 name)
        list(GET pair 1 instead)
        if(code MATCHES "(^|[^A-Za-z0-9_])${name}[ \t]*\\(")
          string(APPEND problems "${rel}:${n}: POSIX-only ${name}() (use ${instead})\n")
        endif()
      endforeach()
      foreach(header IN LISTS forbidden_headers)
        if(code MATCHES "^[ \t]*#[ \t]*include[ \t]*<${header}")
          string(APPEND problems "${rel}:${n}: POSIX-only header <${header}>\n")
        endif()
      endforeach()
    endforeach()
  endforeach()
endforeach()
if(problems)
  message(FATAL_ERROR "not portable to the Windows DLL build:\n${problems}")
endif()
message(STATUS "library sources: no GNU attributes, POSIX calls or environment reads")
