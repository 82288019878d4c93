// Every count-based entry refuses a negative count before launching: a count of -256 or below
// would otherwise give a grid of millions of blocks whose indices wrap negative and pass the
// bounds test, and -1 to -255 would fail the launch.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/library.h"

namespace {

using kr_test::messages;

// Calls one entry over the given output and input buffers with `count`.
struct counted_entry {
  const char* name;
  std::function<kr_status_t(kr_omu_device*, kr_omu_buffer* out, kr_omu_buffer* in, int32_t count)> call;
};

template <kr_status_t (*fn)(kr_omu_device*, kr_omu_operator*, kr_omu_op_elementwise_args_t*)>
counted_entry unary(const char* name) {
  return {name, [](kr_omu_device* d, kr_omu_buffer* out, kr_omu_buffer* in, int32_t count) {
            kr_omu_op_elementwise_args_t args{out, in, count, 0, 0};
            return fn(d, nullptr, &args);
          }};
}

template <kr_status_t (*fn)(kr_omu_device*, kr_omu_operator*, kr_omu_op_elementwise_scalar_args_t*)>
counted_entry scalar(const char* name) {
  return {name, [](kr_omu_device* d, kr_omu_buffer* out, kr_omu_buffer* in, int32_t count) {
            kr_omu_op_elementwise_scalar_args_t args{out, in, 2.0f, count, 0, 0};
            return fn(d, nullptr, &args);
          }};
}

template <kr_status_t (*fn)(kr_omu_device*, kr_omu_operator*, kr_omu_op_pairwise_args_t*)>
counted_entry pairwise(const char* name) {
  return {name, [](kr_omu_device* d, kr_omu_buffer* out, kr_omu_buffer* in, int32_t count) {
            kr_omu_op_pairwise_args_t args{out, in, in, count, 0, 0, 0};
            return fn(d, nullptr, &args);
          }};
}

const counted_entry entries[] = {
    unary<taabe178>("taabe178"), unary<taabe71>("taabe71"),   unary<taabe78>("taabe78"),
    unary<taabe190>("taabe190"), unary<taabe39>("taabe39"),   unary<taabe257>("taabe257"),
    unary<taabe141>("taabe141"), unary<taabe169>("taabe169"), unary<taabe266>("taabe266"),
    unary<taabe77>("taabe77"),   unary<taabe82>("taabe82"),   unary<taabe88>("taabe88"),
    unary<taabe27>("taabe27"),   unary<taabe35>("taabe35"),   unary<taabe218>("taabe218"),
    unary<taabe221>("taabe221"), unary<taabe165>("taabe165"), scalar<taabe45>("taabe45"),
    scalar<taabe272>("taabe272"), scalar<taabe106>("taabe106"), scalar<taabe224>("taabe224"),
    pairwise<taabe225>("taabe225"), pairwise<taabe50>("taabe50"), pairwise<taabe66>("taabe66"),
    pairwise<taabe241>("taabe241"), pairwise<taabe177>("taabe177"),
    {"taabe263",
     [](kr_omu_device* d, kr_omu_buffer* out, kr_omu_buffer* in, int32_t count) {
       kr_omu_op_mulsv_args_t args{out, in, 1024, 0, count, 0, 0};
       return taabe263(d, nullptr, &args);
     }},
    {"taabe47",
     [](kr_omu_device* d, kr_omu_buffer* out, kr_omu_buffer* in, int32_t count) {
       kr_omu_op_cell_args_t args{out, in, in, count, 0, 0, 0};
       return taabe47(d, nullptr, &args);
     }},
};

class NegativeCountTest : public kr_test::LibraryTest {};

TEST_F(NegativeCountTest, RefusedBeforeLaunching) {
  const std::vector<uint8_t> poison(1024, 0x5A);
  for (const counted_entry& e : entries) {
    kr_omu_buffer* in = upload(poison);
    kr_omu_buffer* out = upload(poison);
    for (const int32_t count : {-1, -255, -256, -257, INT32_MIN}) {
      EXPECT_EQ(e.call(device(), out, in, count), KR_STATUS_INVALID_ARGUMENT) << e.name << " count " << count;
    }
    EXPECT_TRUE(messages().empty()) << e.name;
    EXPECT_EQ(download<uint8_t>(out, poison.size()), poison) << e.name;
    EXPECT_EQ(download<uint8_t>(in, poison.size()), poison) << e.name;
  }
}

}  // namespace
