#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/library.h"

namespace {

using kr_test::messages;
using kr_test::stored;

class MemoryUtilitiesTest : public kr_test::LibraryTest {};

TEST_F(MemoryUtilitiesTest, CopyMovesBytesBetweenOffsets) {
  kr_omu_buffer* src = upload(std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8});
  kr_omu_buffer* dst = upload(std::vector<uint8_t>(8, 0));
  kr_omu_op_copy_args_t args{dst, src, 3, 4, 2};
  EXPECT_EQ(taabe140(device(), nullptr, &args), KR_STATUS_SUCCESS);
  EXPECT_EQ(download<uint8_t>(dst, 8), (std::vector<uint8_t>{0, 0, 0, 0, 3, 4, 5, 0}));
}

TEST_F(MemoryUtilitiesTest, CopyWithinOneBufferWithoutOverlap) {
  kr_omu_buffer* b = upload(std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8});
  kr_omu_op_copy_args_t args{b, b, 4, 0, 4};
  EXPECT_EQ(taabe140(device(), nullptr, &args), KR_STATUS_SUCCESS);
  EXPECT_EQ(download<uint8_t>(b, 8), (std::vector<uint8_t>{5, 6, 7, 8, 5, 6, 7, 8}));
}

TEST_F(MemoryUtilitiesTest, ClearZeroesExactlyTheRange) {
  kr_omu_buffer* b = upload(std::vector<float>{1.0f, 2.0f, 3.0f});
  kr_omu_op_clear_args_t args{b, 4, 4};
  EXPECT_EQ(taabe267(device(), nullptr, &args), KR_STATUS_SUCCESS);
  EXPECT_EQ(download<float>(b, 3), (std::vector<float>{1.0f, 0.0f, 3.0f}));
}

TEST_F(MemoryUtilitiesTest, ZeroCountsSucceed) {
  kr_omu_buffer* b = upload(std::vector<uint8_t>{9, 9});
  kr_omu_op_copy_args_t copy{b, b, 0, 0, 1};
  kr_omu_op_clear_args_t clear{b, 0, 0};
  EXPECT_EQ(taabe140(device(), nullptr, &copy), KR_STATUS_SUCCESS);
  EXPECT_EQ(taabe267(device(), nullptr, &clear), KR_STATUS_SUCCESS);
  EXPECT_EQ(download<uint8_t>(b, 2), (std::vector<uint8_t>{9, 9}));
  EXPECT_TRUE(messages().empty());
}

TEST_F(MemoryUtilitiesTest, NegativeCountsFailWithTheirOwnTexts) {
  kr_omu_buffer* b = buffer(16);
  kr_omu_op_copy_args_t copy{b, b, -1, 0, 8};
  kr_omu_op_clear_args_t clear{b, -1, 0};
  EXPECT_EQ(taabe140(device(), nullptr, &copy), KR_STATUS_RUNTIME_ERROR);
  EXPECT_EQ(taabe267(device(), nullptr, &clear), KR_STATUS_RUNTIME_ERROR);
  EXPECT_EQ(messages(), (std::vector<std::string>{stored(826, "Failed to copy memory to device."),
                                                  stored(828, kr_test::kernel_failure_text)}));
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

TEST_F(MemoryUtilitiesTest, NullRecordsAreRefusedWithoutAMessage) {
  kr_omu_buffer* b = buffer(16);
  kr_omu_op_copy_args_t copy_no_input{b, nullptr, 4, 0, 0};
  kr_omu_op_copy_args_t copy_no_output{nullptr, b, 4, 0, 0};
  kr_omu_op_clear_args_t clear_no_output{nullptr, 4, 0};
  EXPECT_EQ(taabe140(device(), nullptr, nullptr), KR_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(taabe140(device(), nullptr, &copy_no_input), KR_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(taabe140(device(), nullptr, &copy_no_output), KR_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(taabe267(device(), nullptr, nullptr), KR_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(taabe267(device(), nullptr, &clear_no_output), KR_STATUS_INVALID_ARGUMENT);
  EXPECT_TRUE(messages().empty());
}

}  // namespace
