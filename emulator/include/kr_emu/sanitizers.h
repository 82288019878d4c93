// Which sanitizer instruments the code being compiled, for GCC and Clang alike (Clang 14 does not
// define GCC's __SANITIZE_ADDRESS__ / __SANITIZE_THREAD__). The emulator's own sources, compiled
// without instrumentation in the ThreadSanitizer build, get KR_EMU_TSAN from the build.
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#define KR_EMU_ASAN 1
#endif
#if defined(__SANITIZE_THREAD__) && !defined(KR_EMU_TSAN)
#define KR_EMU_TSAN 1
#endif
#if defined(__has_feature)
#if __has_feature(address_sanitizer) && !defined(KR_EMU_ASAN)
#define KR_EMU_ASAN 1
#endif
#if __has_feature(thread_sanitizer) && !defined(KR_EMU_TSAN)
#define KR_EMU_TSAN 1
#endif
#endif
