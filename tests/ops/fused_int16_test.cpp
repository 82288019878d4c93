#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "reference/norm_ref.h"
#include "support/library.h"

namespace {

using kr_test::messages;
using kr_test::stored;

class CellTest : public kr_test::LibraryTest {
 protected:
  // Runs the cell update over the three gate vectors and the cell state; checks the new cell, the
  // output and the rewritten gates bit for bit.
  void check(const std::vector<int16_t>& x0, const std::vector<int16_t>& x1, const std::vector<int16_t>& x2,
             const std::vector<int16_t>& cell) {
    const int32_t count = static_cast<int32_t>(cell.size());
    std::vector<int16_t> gates = x0;
    gates.insert(gates.end(), x1.begin(), x1.end());
    gates.insert(gates.end(), x2.begin(), x2.end());
    gates.push_back(0x5A5A);
    kr_omu_buffer* g = upload(gates);
    kr_omu_buffer* c = upload(cell, 2);
    kr_omu_buffer* h = upload(std::vector<int16_t>(count + 1, 0x5A5A));
    kr_omu_op_cell_args_t args{h, c, g, count, 0, 0, 0};
    ASSERT_EQ(taabe47(device(), nullptr, &args), KR_STATUS_SUCCESS);
    const auto got_gates = download<int16_t>(g, gates.size());
    const auto got_cell = download<int16_t>(c, count);
    const auto got_h = download<int16_t>(h, count + 1);
    for (int32_t i = 0; i < count; ++i) {
      const ref::cell_result want = ref::cell_update(x0[i], x1[i], x2[i], cell[i]);
      ASSERT_EQ(got_cell[i], want.cell) << i << ": " << x0[i] << " " << x1[i] << " " << x2[i] << " " << cell[i];
      ASSERT_EQ(got_h[i], want.output) << i;
      ASSERT_EQ(got_gates[i], want.g0) << i;
      ASSERT_EQ(got_gates[count + i], want.g1) << i;
      ASSERT_EQ(got_gates[2 * count + i], want.g2) << i;
    }
    EXPECT_EQ(got_gates[3 * count], 0x5A5A);
    EXPECT_EQ(got_h[count], 0x5A5A);
  }
};

TEST_F(CellTest, KnownValues) {
  check({0}, {0}, {0}, {0});
  check({-8192}, {0}, {0}, {32767});
  kr_omu_buffer* g = upload(std::vector<int16_t>{-8192, 0, 0});
  kr_omu_buffer* c = upload(std::vector<int16_t>{32767});
  kr_omu_buffer* h = upload(std::vector<int16_t>{7});
  kr_omu_op_cell_args_t args{h, c, g, 1, 0, 0, 0};
  ASSERT_EQ(taabe47(device(), nullptr, &args), KR_STATUS_SUCCESS);
  EXPECT_EQ(download<int16_t>(c, 1)[0], 32755);
  kr_omu_buffer* g0 = upload(std::vector<int16_t>{0, 0, 0});
  kr_omu_buffer* c0 = upload(std::vector<int16_t>{0});
  kr_omu_op_cell_args_t zeros{h, c0, g0, 1, 0, 0, 0};
  ASSERT_EQ(taabe47(device(), nullptr, &zeros), KR_STATUS_SUCCESS);
  EXPECT_EQ(download<int16_t>(g0, 3), (std::vector<int16_t>{0, 0, 16384}));
  EXPECT_EQ(download<int16_t>(h, 1)[0], 0);
}

// Every 16-bit value in each gate vector (in different orders), with the cell cycling through
// its edge values and random states.
TEST_F(CellTest, EveryGateValue) {
  const int32_t count = 65536;
  std::vector<int16_t> x0(count), x1(count), x2(count), cell(count);
  const int16_t edges[] = {-32768, -1, 0, 1, 32767};
  std::mt19937 rng(71);
  for (int32_t i = 0; i < count; ++i) {
    x0[i] = static_cast<int16_t>(i);
    x1[i] = static_cast<int16_t>(static_cast<uint32_t>(i) * 40503u);
    x2[i] = static_cast<int16_t>(65535 - i);
    cell[i] = i % 2 == 0 ? edges[(i / 2) % 5] : static_cast<int16_t>(rng());
  }
  check(x0, x1, x2, cell);
}

// Offsets are bytes on all three buffers; the gate vectors follow each other from the offset.
TEST_F(CellTest, ByteOffsets) {
  kr_omu_buffer* g = upload(std::vector<int16_t>{9, 100, -300, 2000, 4000, -5000, 600, 9});
  kr_omu_buffer* c = upload(std::vector<int16_t>{9, 9, 700, -30000});
  kr_omu_buffer* h = upload(std::vector<int16_t>{9, 9, 9, 9, 9});
  kr_omu_op_cell_args_t args{h, c, g, 2, 6, 4, 2};
  ASSERT_EQ(taabe47(device(), nullptr, &args), KR_STATUS_SUCCESS);
  const ref::cell_result a = ref::cell_update(100, 2000, -5000, 700), b = ref::cell_update(-300, 4000, 600, -30000);
  EXPECT_EQ(download<int16_t>(c, 4), (std::vector<int16_t>{9, 9, static_cast<int16_t>(a.cell), static_cast<int16_t>(b.cell)}));
  EXPECT_EQ(download<int16_t>(h, 5), (std::vector<int16_t>{9, 9, 9, static_cast<int16_t>(a.output), static_cast<int16_t>(b.output)}));
  EXPECT_EQ(download<int16_t>(g, 8),
            (std::vector<int16_t>{9, static_cast<int16_t>(a.g0), static_cast<int16_t>(b.g0), static_cast<int16_t>(a.g1),
                                  static_cast<int16_t>(b.g1), static_cast<int16_t>(a.g2), static_cast<int16_t>(b.g2), 9}));
}

TEST_F(CellTest, RefusalsAndEmptyGrid) {
  const std::vector<uint8_t> poison(64, 0x5A);
  kr_omu_buffer* g = upload(poison);
  kr_omu_buffer* c = upload(poison);
  kr_omu_buffer* h = upload(poison);
  const kr_omu_op_cell_args_t refused[] = {{nullptr, c, g, 1, 0, 0, 0}, {h, nullptr, g, 1, 0, 0, 0},
                                           {h, c, nullptr, 1, 0, 0, 0}, {h, c, g, 1, 1, 0, 0},
                                           {h, c, g, 1, 0, 3, 0},       {h, c, g, 1, 0, 0, 5}};
  for (kr_omu_op_cell_args_t args : refused) EXPECT_EQ(taabe47(device(), nullptr, &args), KR_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(taabe47(device(), nullptr, nullptr), KR_STATUS_INVALID_ARGUMENT);
  EXPECT_TRUE(messages().empty());
  kr_omu_op_cell_args_t empty{h, c, g, 0, 0, 0, 0};
  EXPECT_EQ(taabe47(device(), nullptr, &empty), KR_STATUS_RUNTIME_ERROR);
  EXPECT_EQ(messages(), std::vector<std::string>{stored(828, kr_test::kernel_failure_text)});
  for (kr_omu_buffer* b : {g, c, h}) EXPECT_EQ(download<uint8_t>(b, poison.size()), poison);
}

class StandardizeTest : public kr_test::LibraryTest {
 protected:
  void check(const std::vector<int16_t>& in, int32_t rows, int32_t columns, const std::vector<int16_t>& mean,
             const std::vector<int16_t>& scale) {
    const size_t total = static_cast<size_t>(rows) * columns;
    kr_omu_buffer* dst = upload(std::vector<int16_t>(total + 1, 0x5A5A));
    kr_omu_op_standardize_args_t args{dst, upload(in), upload(mean), upload(scale), rows, columns, 0, 0};
    ASSERT_EQ(taabe86(device(), nullptr, &args), KR_STATUS_SUCCESS);
    const auto out = download<int16_t>(dst, total + 1);
    for (size_t i = 0; i < total; ++i) {
      const size_t c = i % columns;
      ASSERT_EQ(out[i], ref::standardize(in[i], mean[c], scale[c])) << "row " << i / columns << " column " << c;
    }
    EXPECT_EQ(out[total], 0x5A5A);
  }
};

// Every input against means at both ends (differences over -65535 .. 65535) with scales +-1024,
// +-1 and the extremes; 7 columns, not a multiple of 16.
TEST_F(StandardizeTest, WholeRangeOfDifferences) {
  const std::vector<int16_t> mean = {-32768, 32767, 32767, -32768, -32768, 32767, 0};
  const std::vector<int16_t> scale = {1024, -1024, 1, -1, -32768, -32768, 32767};
  const int32_t rows = 65536, columns = 7;
  std::vector<int16_t> in(static_cast<size_t>(rows) * columns);
  for (int32_t r = 0; r < rows; ++r) {
    for (int32_t c = 0; c < columns; ++c) in[static_cast<size_t>(r) * columns + c] = static_cast<int16_t>(r + 4099 * c);
  }
  check(in, rows, columns, mean, scale);
}

TEST_F(StandardizeTest, KnownValuesAndOddShapes) {
  // scale 1.0 gives input - mean, clamped; -1.0 of -32768 clamps to 32767; the shift rounds down.
  check({100, -32768, 5, -1, 1}, 1, 5, {30, 0, 0, 0, 0}, {1024, 1024, -1024, 1, 1});
  check({0, 0, 0, 0}, 1, 4, {-32768, 32767, 1, -1}, {1024, -1024, 1, 1});
  std::mt19937 rng(72);
  for (const auto& [rows, columns] : {std::pair{33, 17}, std::pair{1, 1}, std::pair{17, 33}, std::pair{16, 16}}) {
    std::vector<int16_t> in(static_cast<size_t>(rows) * columns), mean(columns), scale(columns);
    for (int16_t& x : in) x = static_cast<int16_t>(rng());
    for (int16_t& x : mean) x = static_cast<int16_t>(rng());
    for (int16_t& x : scale) x = static_cast<int16_t>(rng());
    check(in, rows, columns, mean, scale);
  }
}

TEST_F(StandardizeTest, ByteOffsetsRefusalsAndEmptyGrid) {
  kr_omu_buffer* dst = upload(std::vector<int16_t>(4, 9));
  kr_omu_buffer* src = upload(std::vector<int16_t>{9, 9, 9, 2048, -2048});
  kr_omu_buffer* mean = upload(std::vector<int16_t>{48, -48});
  kr_omu_buffer* scale = upload(std::vector<int16_t>{512, 2048});
  kr_omu_op_standardize_args_t args{dst, src, mean, scale, 1, 2, 2, 6};
  ASSERT_EQ(taabe86(device(), nullptr, &args), KR_STATUS_SUCCESS);
  EXPECT_EQ(download<int16_t>(dst, 4), (std::vector<int16_t>{9, 1000, -4000, 9}));

  const std::vector<uint8_t> poison(64, 0x5A);
  kr_omu_buffer* out = upload(poison);
  std::vector<kr_omu_op_standardize_args_t> refused = {
      {nullptr, src, mean, scale, 1, 2, 0, 0}, {out, nullptr, mean, scale, 1, 2, 0, 0}, {out, src, nullptr, scale, 1, 2, 0, 0},
      {out, src, mean, nullptr, 1, 2, 0, 0},   {out, src, mean, scale, 1, 2, 1, 0},     {out, src, mean, scale, 1, 2, 0, 3}};
  for (int32_t negative : {-1, -256, -257, INT32_MIN}) {
    refused.push_back({out, src, mean, scale, negative, 2, 0, 0});
    refused.push_back({out, src, mean, scale, 2, negative, 0, 0});
  }
  for (kr_omu_op_standardize_args_t a : refused) EXPECT_EQ(taabe86(device(), nullptr, &a), KR_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(taabe86(device(), nullptr, nullptr), KR_STATUS_INVALID_ARGUMENT);
  EXPECT_TRUE(messages().empty());
  for (const auto& [rows, columns] : {std::pair{0, 2}, std::pair{2, 0}}) {
    kr_omu_op_standardize_args_t empty{out, src, mean, scale, rows, columns, 0, 0};
    EXPECT_EQ(taabe86(device(), nullptr, &empty), KR_STATUS_RUNTIME_ERROR);
  }
  EXPECT_EQ(messages(), std::vector<std::string>(2, stored(828, kr_test::kernel_failure_text)));
  EXPECT_EQ(download<uint8_t>(out, poison.size()), poison);
}

}  // namespace
