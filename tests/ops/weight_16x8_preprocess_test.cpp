// Block-quantised weight preprocessing (taabe2): packed blocks of widths 3, 5, 6 and 7 become bit
// planes, everything else stays as it was.
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "reference/weight_16x8_ref.h"
#include "support/library.h"

namespace {

using kr_test::messages;
using kr_test::stored;

constexpr uint8_t tail_byte = 0xA5;
constexpr int tail = 64;

struct shape {
  int32_t row_blocks;
  int32_t counts[8];
};

class PreprocessTest : public kr_test::LibraryTest {
 protected:
  kr_status_t preprocess(kr_omu_buffer* weights, const ref::quantised_matrix& m) {
    kr_omu_op_weight_16x8_preprocess_blocks_args_t args{weights, m.row_blocks, {}};
    for (int i = 0; i < 8; ++i) args.column_blocks[i] = m.counts[i];
    return taabe2(device(), nullptr, &args);
  }
  // The packed buffer followed by tail bytes that must survive.
  kr_omu_buffer* upload_packed(const ref::quantised_matrix& m) {
    auto bytes = m.weight_bytes(false);
    bytes.insert(bytes.end(), tail, tail_byte);
    return upload(bytes);
  }
};

// Four values per byte in the two-bit plane, eight per byte in the one-bit plane.
TEST_F(PreprocessTest, WidthThreeBlockOfValuesZeroToSeven) {
  std::vector<uint8_t> values(128);
  for (int v = 0; v < 128; ++v) values[v] = static_cast<uint8_t>(v % 8);
  kr_omu_buffer* w = upload(ref::pack_block(3, values));
  kr_omu_op_weight_16x8_preprocess_blocks_args_t args{w, 1, {0, 0, 1, 0, 0, 0, 0, 0}};
  ASSERT_EQ(taabe2(device(), nullptr, &args), KR_STATUS_SUCCESS);
  const auto got = download<uint8_t>(w, 48);
  for (int i = 0; i < 32; ++i) {
    uint8_t low = 0;
    for (int j = 0; j < 4; ++j) low = static_cast<uint8_t>(low | (((4 * i + j) % 8) & 3) << (2 * j));
    EXPECT_EQ(got[i], low) << "byte " << i;
  }
  for (int i = 32; i < 48; ++i) EXPECT_EQ(got[i], 0xF0) << "byte " << i;  // values 4 ... 7 have bit 2
}

// Every width alone, all widths mixed, row blocks around the 16 x 16 thread tile: the whole buffer
// equals the reference plane form, the bytes after it are untouched, and unpacking the planes on
// the host gives back the original values.
TEST_F(PreprocessTest, RewritesExactlyTheSplitWidths) {
  std::vector<shape> shapes;
  for (int b = 1; b <= 8; ++b) {
    shape s{2, {}};
    s.counts[b - 1] = 3;
    shapes.push_back(s);
  }
  shapes.push_back({3, {2, 1, 3, 1, 2, 1, 2, 1}});
  shapes.push_back({1, {0, 1, 17, 0, 1, 0, 0, 2}});
  for (int32_t rb : {1, 16, 17, 33}) shapes.push_back({rb, {1, 0, 1, 0, 2, 1, 17, 0}});
  uint32_t seed = 1;
  for (const shape& s : shapes) {
    const auto m = ref::random_matrix(s.row_blocks, s.counts, seed++);
    kr_omu_buffer* w = upload_packed(m);
    ASSERT_EQ(preprocess(w, m), KR_STATUS_SUCCESS);
    const auto want = m.weight_bytes(true);
    const auto got = download<uint8_t>(w, want.size() + tail);
    ASSERT_EQ(std::vector<uint8_t>(got.begin(), got.begin() + want.size()), want) << "shape " << seed - 1;
    EXPECT_EQ(std::vector<uint8_t>(got.begin() + want.size(), got.end()), std::vector<uint8_t>(tail, tail_byte));
    size_t at = 0;
    ref::for_each_block(m, [&](int b, int32_t rb, int32_t cb, int32_t) {
      const std::vector<uint8_t> block(got.begin() + at, got.begin() + at + 16 * b);
      const auto values = ref::in_plane_form(b) ? ref::unplane_block(b, block) : ref::unpack_block(b, block);
      EXPECT_EQ(values, m.blocks[b - 1][static_cast<size_t>(rb) * m.counts[b - 1] + cb]) << "width " << b;
      at += 16 * b;
    });
  }
}

// Widths 1, 2, 4, 8 launch nothing (an injected launch failure stays pending), as do zero counts.
TEST_F(PreprocessTest, NoKernelWithoutSplitWidths) {
  KR_REQUIRE_EMULATOR();
  for (const shape& s : {shape{2, {1, 2, 0, 3, 0, 0, 0, 1}}, shape{2, {}}}) {
    const auto m = ref::random_matrix(s.row_blocks, s.counts, 9);
    kr_omu_buffer* w = upload_packed(m);
    kr_test::fail_call("cudaLaunchKernel", cudaErrorLaunchFailure);
    EXPECT_EQ(preprocess(w, m), KR_STATUS_SUCCESS);
    kr_test::reset_platform();
    auto want = m.weight_bytes(false);
    want.insert(want.end(), tail, tail_byte);
    EXPECT_EQ(download<uint8_t>(w, want.size()), want);
  }
  EXPECT_TRUE(messages().empty());
}

// Width b runs on stream b of the context: with that one handle broken only its launch fails.
TEST_F(PreprocessTest, EachWidthOnItsOwnStream) {
  KR_REQUIRE_EMULATOR();
  int bogus = 0;
  for (int b : {3, 5, 6, 7}) {
    kr_omu_device* dev = device();
    cudaStream_t kept = dev->streams[b];
    dev->streams[b] = reinterpret_cast<cudaStream_t>(&bogus);
    for (int other : {3, 5, 6, 7}) {
      shape s{1, {}};
      s.counts[other - 1] = 1;
      const auto m = ref::random_matrix(s.row_blocks, s.counts, 3);
      kr_omu_buffer* w = upload_packed(m);
      EXPECT_EQ(preprocess(w, m), other == b ? KR_STATUS_RUNTIME_ERROR : KR_STATUS_SUCCESS) << b << " " << other;
    }
    dev->streams[b] = kept;
    EXPECT_EQ(messages(), std::vector<std::string>{stored(828, kr_test::kernel_failure_text)});
    kr::error_stack_clear();
  }
}

// A failed launch is reported (828, 7); the other sections are still rewritten.
TEST_F(PreprocessTest, LaunchFailureLeavesOtherSectionsQueued) {
  KR_REQUIRE_EMULATOR();
  const shape s{2, {0, 0, 1, 0, 2, 0, 0, 0}};
  const auto m = ref::random_matrix(s.row_blocks, s.counts, 4);
  kr_omu_buffer* w = upload_packed(m);
  kr_test::fail_call("cudaLaunchKernel", cudaErrorLaunchOutOfResources);
  EXPECT_EQ(preprocess(w, m), KR_STATUS_RUNTIME_ERROR);
  EXPECT_EQ(messages(), std::vector<std::string>{stored(828, kr_test::kernel_failure_text)});
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  const auto packed = m.weight_bytes(false), planes = m.weight_bytes(true);
  const auto got = download<uint8_t>(w, packed.size());
  const size_t width3 = 2 * 48;
  EXPECT_EQ(std::vector<uint8_t>(got.begin(), got.begin() + width3), std::vector<uint8_t>(packed.begin(), packed.begin() + width3));
  EXPECT_EQ(std::vector<uint8_t>(got.begin() + width3, got.end()), std::vector<uint8_t>(planes.begin() + width3, planes.end()));
}

TEST_F(PreprocessTest, RefusesBadRecordsBeforeLaunching) {
  kr_omu_buffer* w = upload(std::vector<uint8_t>(256, tail_byte));
  kr_omu_buffer misaligned = *w;
  misaligned.address = static_cast<uint8_t*>(w->address) + 2;
  using args_t = kr_omu_op_weight_16x8_preprocess_blocks_args_t;
  const args_t refused[] = {
      {nullptr, 1, {0, 0, 1}},          {&misaligned, 1, {0, 0, 1}},       {w, -1, {0, 0, 1}},
      {w, 1, {0, 0, 1, 0, 0, 0, -1}},   {w, 1, {-1, 0, 1}},                {w, 1 << 20, {0, 0, 1, 0, 0, 0, 0, 1 << 11}},
      {w, 16, {0, 0, 0x7FFFFFFF}},
  };
  for (args_t args : refused) EXPECT_EQ(taabe2(device(), nullptr, &args), KR_STATUS_INVALID_ARGUMENT);
  args_t fine{w, 1, {0, 0, 1}};
  EXPECT_EQ(taabe2(nullptr, nullptr, &fine), KR_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(taabe2(device(), nullptr, nullptr), KR_STATUS_INVALID_ARGUMENT);
  EXPECT_TRUE(messages().empty());
  EXPECT_EQ(download<uint8_t>(w, 256), std::vector<uint8_t>(256, tail_byte));
}

}  // namespace
