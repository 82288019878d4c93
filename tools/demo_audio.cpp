// The demo's 16-bit audio path, checked bit for bit against an integer host model: conv1d over 8
// input channels (Q10 activations, Q7 weights, Q17 sums), the Q17 bias add, Q17 to Q10, a
// depthwise conv1d, Q17 to Q10 again, then a gated recurrent cell over 20 frames whose gates are
// an input projection (16-bit linear layer over all frames at once) plus, frame by frame, the
// recurrent projection of the previous output added in by the accumulating linear layer.
#include <algorithm>
#include <cstdio>

#include "demo.h"
#include "reference/fixed_point_ref.h"

namespace omu {
namespace demo {
namespace {

constexpr int in_channels = 8, channels = 32, taps = 3, frames = 20, cell = 32, gates = 3 * cell;
constexpr int conv_frames = frames + taps - 1;  // depthwise input
constexpr int input_frames = conv_frames + taps - 1;

int32_t wrap32(int64_t v) { return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(v))); }
int16_t q17_to_q10(int32_t v) { return static_cast<int16_t>(ref::sat16((static_cast<int64_t>(v) + 64) >> 7)); }

// The linear layers' requantisation: (acc + 1024 bias + 64) >> 7 in 32-bit arithmetic.
int32_t requantise(int32_t acc, int8_t bias) {
  return wrap32(static_cast<int64_t>(acc) + static_cast<int64_t>(bias) * 1024 + 64) >> 7;
}

int32_t dot(const int16_t* x, const int8_t* w, int n) {
  uint32_t acc = 0;
  for (int i = 0; i < n; ++i) acc += static_cast<uint32_t>(static_cast<int32_t>(x[i]) * w[i]);
  return static_cast<int32_t>(acc);
}

template <typename T>
std::vector<T> random_ints(random& rng, size_t n, int lo, int hi) {
  std::vector<T> v(n);
  for (T& z : v) z = static_cast<T>(rng.integer(lo, hi));
  return v;
}

}  // namespace

void run_audio(const library& lib, const options& opt, std::vector<row>& report) {
  random rng(opt.seed * 31337 + 5);
  const auto input = random_ints<int16_t>(rng, static_cast<size_t>(input_frames) * in_channels, -1024, 1024);
  const auto conv_w = random_ints<int8_t>(rng, static_cast<size_t>(channels) * taps * in_channels, -40, 40);
  const auto conv_b = random_ints<int8_t>(rng, channels, -128, 127);
  const auto dw_w = random_ints<int8_t>(rng, static_cast<size_t>(taps) * channels, -64, 64);
  const auto wx = random_ints<int8_t>(rng, static_cast<size_t>(gates) * channels, -48, 48);
  const auto bx = random_ints<int8_t>(rng, gates, -128, 127);
  const auto wh = random_ints<int8_t>(rng, static_cast<size_t>(gates) * cell, -48, 48);
  const auto bh = random_ints<int8_t>(rng, gates, -32, 32);

  // Host model.
  std::vector<int16_t> front(static_cast<size_t>(conv_frames) * channels);
  for (int m = 0; m < conv_frames; ++m) {
    for (int n = 0; n < channels; ++n) {
      const int32_t sum = dot(&input[static_cast<size_t>(m) * in_channels], &conv_w[static_cast<size_t>(n) * taps * in_channels],
                              taps * in_channels);
      front[static_cast<size_t>(m) * channels + n] = q17_to_q10(wrap32(static_cast<int64_t>(sum) + conv_b[n] * 1024));
    }
  }
  std::vector<int16_t> features(static_cast<size_t>(frames) * channels);
  for (int m = 0; m < frames; ++m) {
    for (int c = 0; c < channels; ++c) {
      uint32_t acc = 0;
      for (int j = 0; j < taps; ++j) {
        acc += static_cast<uint32_t>(front[static_cast<size_t>(m + j) * channels + c] * dw_w[static_cast<size_t>(j) * channels + c]);
      }
      features[static_cast<size_t>(m) * channels + c] = q17_to_q10(static_cast<int32_t>(acc));
    }
  }
  std::vector<std::vector<int16_t>> host_h(frames, std::vector<int16_t>(cell)), host_c(frames, std::vector<int16_t>(cell));
  std::vector<int16_t> h(cell, 0), c(cell, 0);
  for (int t = 0; t < frames; ++t) {
    std::vector<int16_t> g(gates);
    for (int n = 0; n < gates; ++n) {
      const int32_t x_part = requantise(dot(&features[static_cast<size_t>(t) * channels], &wx[static_cast<size_t>(n) * channels], channels), bx[n]);
      const int32_t h_part = requantise(dot(h.data(), &wh[static_cast<size_t>(n) * cell], cell), bh[n]);
      g[n] = static_cast<int16_t>(ref::sat16(static_cast<int64_t>(ref::sat16(x_part)) + h_part));
    }
    for (int i = 0; i < cell; ++i) {
      const int32_t a = ref::sigmoid(g[i]), cand = ref::tanh_q(g[cell + i]), o = ref::sigmoid(g[2 * cell + i]);
      const int32_t forget = 32767 - a;
      const int32_t updated = ((cand * a + 524288) >> 20) + ((forget * c[i] + 16384) >> 15);
      c[i] = static_cast<int16_t>(ref::sat16(updated));
      const int32_t tc = ref::tanh_q(c[i]);
      h[i] = static_cast<int16_t>(ref::sat16(ref::sat32((static_cast<int64_t>(tc) * o + 524288) >> 20)));
    }
    host_h[t] = h;
    host_c[t] = c;
  }

  // Device.
  session s(lib, session::on_failure::raise);
  s.time_calls(true);
  kr_omu_buffer* d_input = s.upload(input);
  kr_omu_buffer* d_conv_w = s.upload(conv_w);
  kr_omu_buffer* d_conv_b = s.upload(conv_b);
  kr_omu_buffer* d_dw_w = s.upload(dw_w);
  kr_omu_buffer* d_wx = s.upload(wx);
  kr_omu_buffer* d_bx = s.upload(bx);
  kr_omu_buffer* d_wh = s.upload(wh);
  kr_omu_buffer* d_bh = s.upload(bh);
  kr_omu_buffer* sums = s.buffer(static_cast<size_t>(conv_frames) * channels * 4);
  kr_omu_buffer* d_front = s.buffer(static_cast<size_t>(conv_frames) * channels * 2);
  kr_omu_buffer* d_features = s.buffer(static_cast<size_t>(frames) * channels * 2);
  kr_omu_buffer* projected = s.buffer(static_cast<size_t>(frames) * gates * 2);
  kr_omu_buffer* d_gates = s.buffer(gates * 2);
  kr_omu_buffer* d_h = s.upload(std::vector<int16_t>(static_cast<size_t>(frames + 1) * cell, 0));  // row 0: h before frame 0
  kr_omu_buffer* d_c = s.upload(std::vector<int16_t>(cell, 0));

  row fr{"audio", "front", "conv"};
  kr_omu_op_conv1d_args_t conv{};
  conv.output = sums;
  conv.weights = d_conv_w;
  conv.input = d_input;
  conv.num_frames = conv_frames;
  conv.out_channels = channels;
  conv.in_channels = in_channels;
  conv.kernel_size = taps;
  s.call("taabe126", conv);
  kr_omu_op_pairwise_broadcast_args_t bias{};
  bias.output = sums;
  bias.input_a = sums;
  bias.input_b = d_conv_b;
  bias.num_rows = conv_frames;
  bias.row_length = channels;
  s.call("taabe99", bias);
  kr_omu_op_elementwise_args_t narrow{};
  narrow.output = d_front;
  narrow.input = sums;
  narrow.count = conv_frames * channels;
  s.call("taabe82", narrow);
  kr_omu_op_conv1d_depthwise_args_t dw{};
  dw.output = sums;
  dw.weights = d_dw_w;
  dw.input = d_front;
  dw.num_frames = frames;
  dw.channels = channels;
  dw.kernel_size = taps;
  s.call("taabe61", dw);
  narrow.output = d_features;
  narrow.count = frames * channels;
  s.call("taabe82", narrow);
  kr_omu_op_linear_args_t lin{};
  lin.output = projected;
  lin.input = d_features;
  lin.weights = d_wx;
  lin.bias = d_bx;
  lin.num_rows = frames;
  lin.out_features = gates;
  lin.in_features = channels;
  s.call("taabe34", lin);
  take(s, fr);
  compare(s.download<int16_t>(d_features, features.size()), std::vector<double>(features.begin(), features.end()), fr);
  report.push_back(fr);

  for (int t = 0; t < frames; ++t) {
    row r{"audio", "frame " + std::to_string(t), "cell"};
    kr_omu_op_copy_args_t copy{};
    copy.output = d_gates;
    copy.input = projected;
    copy.byte_count = gates * 2;
    copy.input_offset = t * gates * 2;
    s.call("taabe140", copy);
    kr_omu_op_linear_args_t rec{};
    rec.output = d_gates;
    rec.input = d_h;
    rec.weights = d_wh;
    rec.bias = d_bh;
    rec.num_rows = 1;
    rec.out_features = gates;
    rec.in_features = cell;
    rec.input_offset = t * cell * 2;
    s.call("taabe153", rec);
    kr_omu_op_cell_args_t step{};
    step.output = d_h;
    step.cell = d_c;
    step.gates = d_gates;
    step.count = cell;
    step.output_offset = (t + 1) * cell * 2;
    s.call("taabe47", step);
    take(s, r);
    std::vector<int16_t> got = s.download<int16_t>(d_h, cell, static_cast<size_t>(t + 1) * cell * 2);
    const std::vector<int16_t> got_c = s.download<int16_t>(d_c, cell);
    got.insert(got.end(), got_c.begin(), got_c.end());
    std::vector<double> want(host_h[t].begin(), host_h[t].end());
    want.insert(want.end(), host_c[t].begin(), host_c[t].end());
    compare(got, want, r);
    report.push_back(r);
  }
}

}  // namespace demo
}  // namespace omu
