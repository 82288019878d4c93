// omu check cases of the float and block-quantised matrix multiplication entries. The float product
// is compared bit for bit with the fused chain; the preprocessing byte for byte with the host plane
// form; the block-quantised product with the terms its path adds into each output, allowing only
// for the order of the float atomics.
#include <cstdint>
#include <cstdio>
#include <numeric>
#include <string>
#include <vector>

#include "check.h"
#include "reference/float_ref.h"
#include "reference/matmul_ref.h"
#include "reference/weight_16x8_ref.h"

namespace omu {

namespace {

bool matmul_f32_case(session& ses, std::string& detail) {
  const int32_t rows = 3, cols = 33, depth = 7;
  std::vector<float> lhs(rows * depth), rhs(cols * depth), out(rows * cols);
  for (size_t i = 0; i < lhs.size(); ++i) lhs[i] = 0.25f * static_cast<float>(i % 11) - 1.1f;
  for (size_t i = 0; i < rhs.size(); ++i) rhs[i] = 0.3f * static_cast<float>(i % 7) - 0.9f;
  scratch s(ses);
  kr_omu_buffer* o = s.upload(out);
  kr_omu_buffer* l = s.upload(lhs);
  kr_omu_buffer* r = s.upload(rhs);
  if (o == nullptr || l == nullptr || r == nullptr) {
    detail = "buffer allocation failed";
    return false;
  }
  kr_omu_op_matmul_args_t args{o, l, r, rows, cols, depth, 0, 0, 0};
  const kr_status_t status = ses.call("taabe54", args);
  if (status != KR_STATUS_SUCCESS || !s.download(o, out)) {
    detail = "status " + std::to_string(static_cast<int>(status));
    return false;
  }
  const auto want = ref::matmul_f32(lhs, rhs, rows, cols, depth);
  for (size_t i = 0; i < out.size(); ++i) {
    if (ref::float_bits(out[i]) != ref::float_bits(want[i])) {
      char text[96];
      std::snprintf(text, sizeof text, "element %zu gave %a, expected %a", i, static_cast<double>(out[i]),
                    static_cast<double>(want[i]));
      detail = text;
      return false;
    }
  }
  return true;
}

const int32_t all_widths[8] = {1, 1, 2, 1, 1, 1, 1, 1};

kr_status_t preprocess(session& ses, kr_omu_buffer* weights, const ref::quantised_matrix& m) {
  kr_omu_op_weight_16x8_preprocess_blocks_args_t args{weights, m.row_blocks, {}};
  for (int i = 0; i < 8; ++i) args.column_blocks[i] = m.counts[i];
  return ses.call("taabe2", args);
}

bool preprocess_case(session& ses, std::string& detail) {
  const auto m = ref::random_matrix(17, all_widths, 5);
  scratch s(ses);
  kr_omu_buffer* w = s.upload(m.weight_bytes(false));
  if (w == nullptr) {
    detail = "buffer allocation failed";
    return false;
  }
  const kr_status_t status = preprocess(ses, w, m);
  std::vector<uint8_t> got(m.weight_bytes(false).size());
  if (status != KR_STATUS_SUCCESS || !s.download(w, got)) {
    detail = "status " + std::to_string(static_cast<int>(status));
    return false;
  }
  const auto want = m.weight_bytes(true);
  for (size_t i = 0; i < want.size(); ++i) {
    if (got[i] != want[i]) {
      detail = "byte " + std::to_string(i) + " gave " + std::to_string(got[i]) + ", expected " + std::to_string(want[i]);
      return false;
    }
  }
  return true;
}

// Packed weights uploaded, preprocessed, then multiplied by `rows` activation rows in a permuted order.
template <int32_t Rows>
bool weight_16x8_case(session& ses, std::string& detail) {
  const auto m = ref::random_matrix(17, all_widths, 6);
  const int32_t k = m.cols(), n = m.rows();
  std::vector<float> input(static_cast<size_t>(Rows) * k);
  for (size_t i = 0; i < input.size(); ++i) input[i] = 0.01f * static_cast<float>(static_cast<int>(i * 37 % 201) - 100);
  std::vector<uint32_t> order(static_cast<size_t>(k));
  for (int32_t p = 0; p < k; ++p) order[p] = static_cast<uint32_t>((p * 29 + 3) % k);  // 29 is prime to K = 72
  std::vector<float> out(static_cast<size_t>(Rows) * n);
  scratch s(ses);
  kr_omu_buffer* o = s.upload(out);
  kr_omu_buffer* in = s.upload(input);
  kr_omu_buffer* ord = s.upload(order);
  kr_omu_buffer* par = s.upload(m.param_words());
  kr_omu_buffer* w = s.upload(m.weight_bytes(false));
  if (o == nullptr || in == nullptr || ord == nullptr || par == nullptr || w == nullptr) {
    detail = "buffer allocation failed";
    return false;
  }
  kr_status_t status = preprocess(ses, w, m);
  if (status == KR_STATUS_SUCCESS) {
    kr_omu_op_weight_16x8_args_t args{o, in, ord, par, w, Rows, m.row_blocks, {}, 0, 0};
    for (int i = 0; i < 8; ++i) args.column_blocks[i] = m.counts[i];
    status = ses.call("taabe195", args);
  }
  if (status != KR_STATUS_SUCCESS || !s.download(o, out)) {
    detail = "status " + std::to_string(static_cast<int>(status));
    return false;
  }
  std::vector<std::vector<float>> xs(Rows, std::vector<float>(static_cast<size_t>(k)));
  for (int32_t a = 0; a < Rows; ++a) {
    for (int32_t p = 0; p < k; ++p) xs[a][p] = input[static_cast<size_t>(a) * k + order[p]];
  }
  const auto terms = Rows == 1 ? ref::vector_terms(m, xs[0]) : ref::batched_terms(m, xs);
  for (size_t i = 0; i < out.size(); ++i) {
    if (!ref::sum_of_terms_accepts(terms[i], out[i])) {
      char text[96];
      std::snprintf(text, sizeof text, "output %zu gave %a", i, static_cast<double>(out[i]));
      detail = text;
      return false;
    }
  }
  return true;
}

}  // namespace

std::vector<check_case> matmul_checks() {
  return {
      {"taabe54", "", matmul_f32_case},
      {"taabe2", "", preprocess_case},
      {"taabe195", "one row", weight_16x8_case<1>},
      {"taabe195", "70 rows", weight_16x8_case<70>},
  };
}

}  // namespace omu
