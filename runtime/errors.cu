// Records shared by the device and buffer operations.
#include "runtime/errors.h"

namespace kr {

const kr_error_record error_host_out_of_memory = {200, text_host_out_of_memory, nullptr};
const kr_error_record error_device_communication = {820, text_device_communication, nullptr};
const kr_error_record error_device_index = {821, text_device_index, nullptr};
const kr_error_record error_driver_incompatible = {822, text_driver_incompatible, nullptr};
const kr_error_record error_device_incompatible = {823, text_device_incompatible, nullptr};
const kr_error_record error_device_alloc = {825, text_device_alloc, nullptr};
const kr_error_record error_copy_to_device = {826, text_copy_to_device, nullptr};
const kr_error_record error_copy_from_device = {827, text_copy_from_device, nullptr};
const kr_error_record error_stream_creation = {829, text_stream_creation, nullptr};

}  // namespace kr
