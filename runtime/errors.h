// Error records. The device and buffer operations share one record per code; every operator entry
// and memory utility defines its own records (see kernel_failure_record), so that each failure
// site is a record of its own even where code and text repeat.
#pragma once

#include "kr_omu.h"

namespace kr {

constexpr const char* text_host_out_of_memory = "Failed to allocate, out of memory.";
constexpr const char* text_device_communication = "Failed to communicate with device.";
constexpr const char* text_device_index =
    "GPU device index `%d` is out of range. Found `%d` available GPU devices.";
constexpr const char* text_driver_incompatible =
    "GPU device drivers are incompatible (device error: %s). Refer to docs to find the appropriate "
    "version for updating.";
constexpr const char* text_device_incompatible = "Selected GPU device is incompatible with the library.";
constexpr const char* text_device_alloc = "Failed to alloc memory.";
constexpr const char* text_copy_to_device = "Failed to copy memory to device.";
constexpr const char* text_copy_from_device = "Failed to copy memory from device.";
constexpr const char* text_kernel_failure = "Failed to execute gpu kernel.";
constexpr const char* text_stream_creation = "Failed to create gpu stream.";

// Shared by the device and buffer operations.
extern const kr_error_record error_host_out_of_memory;     // 200
extern const kr_error_record error_device_communication;   // 820
extern const kr_error_record error_device_index;           // 821
extern const kr_error_record error_driver_incompatible;    // 822
extern const kr_error_record error_device_incompatible;    // 823
extern const kr_error_record error_device_alloc;           // 825
extern const kr_error_record error_copy_to_device;         // 826
extern const kr_error_record error_copy_from_device;       // 827
extern const kr_error_record error_stream_creation;        // 829

// The launch-check record of an operator entry; each module keeps its own static copy:
//   static constexpr kr_error_record kernel_failure = kr::kernel_failure_record();
constexpr kr_error_record kernel_failure_record(uint32_t code = 828) {
  return kr_error_record{code, text_kernel_failure, nullptr};
}

}  // namespace kr
