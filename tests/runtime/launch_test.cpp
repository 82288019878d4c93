#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/library.h"

namespace probe {
int launch_faulting_kernel();
}

namespace {

using kr_test::messages;
using kr_test::stored;

class LaunchTest : public kr_test::LibraryTest {};

TEST_F(LaunchTest, ChainedEntriesNeedNoSynchronisation) {
  kr_omu_buffer* x = upload(std::vector<float>{1.0f, 2.0f, -3.0f});
  kr_omu_buffer* y = buffer(12);
  kr_omu_op_elementwise_scalar_args_t add{y, x, 1.0f, 3, 0, 0};
  kr_omu_op_elementwise_scalar_args_t mul{y, y, 2.0f, 3, 0, 0};
  ASSERT_EQ(taabe45(device(), nullptr, &add), KR_STATUS_SUCCESS);
  ASSERT_EQ(taabe106(device(), nullptr, &mul), KR_STATUS_SUCCESS);
  EXPECT_EQ(download<float>(y, 3), (std::vector<float>{4.0f, 6.0f, -4.0f}));
}

TEST_F(LaunchTest, TheOperatorRecordIsNeverRead) {
  kr_omu_buffer* x = upload(std::vector<float>{0.5f, -0.5f});
  kr_omu_buffer* y = buffer(8);
  kr_omu_op_elementwise_scalar_args_t args{y, x, 3.0f, 2, 0, 0};
  // Any pointer, even one that points nowhere, is passed through untouched.
  kr_omu_operator* garbage = reinterpret_cast<kr_omu_operator*>(uintptr_t{0x10});
  ASSERT_EQ(taabe106(nullptr, garbage, &args), KR_STATUS_SUCCESS);
  EXPECT_EQ(download<float>(y, 2), (std::vector<float>{1.5f, -1.5f}));
}

TEST_F(LaunchTest, OffsetsAreBytesNotElements) {
  kr_omu_buffer* x = upload(std::vector<float>{1.0f, 2.0f, 3.0f});
  kr_omu_buffer* y = upload(std::vector<float>{0.0f, 0.0f, 0.0f});
  kr_omu_op_elementwise_scalar_args_t args{y, x, 10.0f, 1, 4, 8};
  ASSERT_EQ(taabe45(device(), nullptr, &args), KR_STATUS_SUCCESS);
  EXPECT_EQ(download<float>(y, 3), (std::vector<float>{0.0f, 13.0f, 0.0f}));
}

// A fault inside a running kernel is sticky: the next launch check and every copy report it.
TEST_F(LaunchTest, KernelFaultSurfacesAtTheNextCheck) {
  KR_REQUIRE_EMULATOR();
  kr_omu_buffer* x = upload(std::vector<float>{1.0f});
  kr_omu_buffer* y = buffer(4);
  probe::launch_faulting_kernel();
  kr_omu_op_elementwise_scalar_args_t args{y, x, 1.0f, 1, 0, 0};
  EXPECT_EQ(taabe45(device(), nullptr, &args), KR_STATUS_RUNTIME_ERROR);
  float out = 0.0f;
  EXPECT_EQ(taabe137(device(), y, &out, 0, 4), KR_STATUS_RUNTIME_ERROR);
  EXPECT_EQ(messages(), (std::vector<std::string>{stored(828, kr_test::kernel_failure_text),
                                                  stored(827, "Failed to copy memory from device.")}));
}

}  // namespace
