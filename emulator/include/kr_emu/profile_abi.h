/* The memory-access profile as the profile build's emulated library exports it, for tools that
   load the library at run time (dlsym). Only that build has these symbols. Figures are those of
   kr_emu::profile::kernel_figures (kr_emu/profile.h), scaled to every block of every launch. */
#ifndef KR_EMU_PROFILE_ABI_H
#define KR_EMU_PROFILE_ABI_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct kr_emu_profile_figures {
  char name[160]; /* the kernel's name without parameters, truncated; "" when unknown */
  uint64_t launches;
  uint64_t blocks;
  uint64_t sampled_blocks;
  double global_requests;
  double global_sectors;
  double useful_bytes;
  double unique_sectors;
  double shared_requests;
  double shared_ways;
  double shared_ways_max;
  double atomics;
  double atomic_requests;
  double atomic_same_address;
  int32_t operands; /* operands of its global requests (kr_emu_profile_operand_figures) */
} kr_emu_profile_figures;

/* One operand of a kernel: the allocation its global loads and stores fell in, named after the
   kernel arguments whose pointer values point into it (kr_emu::profile::operand_figures). */
typedef struct kr_emu_profile_operand_figures {
  int32_t arguments[4];      /* positions (0 first) of the pointer arguments into it; -1 past them */
  int32_t argument_count;    /* how many there are (may exceed 4); 0: no argument points into it */
  int32_t unnamed;           /* with no argument: 0 for the first such allocation a launch touched */
  char parameter[64];        /* the type of the first of those parameters, truncated; "" if unknown */
  uint64_t allocation_bytes;
  double global_requests;    /* requests with lanes in it (a request over two operands counts in each) */
  double global_sectors;     /* the sectors of those lanes */
  double useful_bytes;
  double unique_sectors;     /* distinct sectors of each launch, summed over launches */
} kr_emu_profile_operand_figures;

/* Starts recording afresh; launches of more than block_budget blocks (0: none) are sampled. */
typedef void (*kr_emu_profile_start_fn)(uint64_t block_budget);
/* Stops recording and returns how many kernels were recorded. */
typedef int32_t (*kr_emu_profile_stop_fn)(void);
/* The figures of recorded kernel i (0 <= i < count, in order of first launch); 0 on success. */
typedef int32_t (*kr_emu_profile_kernel_fn)(int32_t i, kr_emu_profile_figures* out);

/* Operand j of recorded kernel i (0 <= j < its operands); 0 on success. */
typedef int32_t (*kr_emu_profile_operand_fn)(int32_t i, int32_t j, kr_emu_profile_operand_figures* out);

#define KR_EMU_PROFILE_START "kr_emu_profile_start"
#define KR_EMU_PROFILE_STOP "kr_emu_profile_stop"
#define KR_EMU_PROFILE_KERNEL "kr_emu_profile_kernel"
#define KR_EMU_PROFILE_OPERAND "kr_emu_profile_operand"

#ifdef __cplusplus
}
#endif

#endif
