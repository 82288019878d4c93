// The demo's decoder-only transformer: RMS normalisation, block-quantised projections with every bit
// width mixed in each matrix, rotary encoding, the 8-bit key/value cache and attention over it, and
// a top-2 mixture of four x-times-sigmoid experts, with residual adds. A prefill of 16 positions
// takes the batched multiplication path; each decode step takes the vector path, and the cache
// ring of 24 slots wraps once the steps pass position 23.
//
// The host model runs the same network in double precision on the dequantised weights, quantises
// its own key/value rows to 8 bits by the cache's rule, and takes the expert routing from the
// device's gate after checking that it is a top-2 choice of the host's own scores.
//
// Error bound. Per layer the residual stream may differ from the host model by 5e-3 of its largest
// magnitude. Float32 arithmetic alone stays below 1e-6 here (256-term sums, 2-ulp device functions,
// the fast reciprocal square root; measured 3e-7 to 5e-7 over 25 seeds). The 8-bit cache adds
// the rest: where the device's float32 key or value lands on the other side of a rounding
// half-step than the double one, its code differs by one, which moves that element by 1/255 of
// its row's range; such flips gave at most 8e-4 over the same seeds. One altered weight block, a
// wrong ring slot or a missing rotation moves the stream by 5e-2 or more.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>

#include "demo.h"

namespace omu {
namespace demo {
namespace {

constexpr int width = 256, heads = 8, kv_heads = 2, head_size = 32, hidden = 256, experts = 4, top_k = 2;
constexpr int layers = 2, capacity = 24, prefill = 16;
constexpr float epsilon = 1e-5f;
constexpr float rotary_base = 10000.0f;
constexpr double stream_bound = 5e-3;

// ---------------------------------------------------------------------------------------------
// Block-quantised weights: 16 x 8 blocks, each with its own bit width section, offset and step.

double decode_code(uint16_t code) {
  const double magnitude = code & 1023;
  const int exponent = (code >> 10) & 31;
  return ((code >> 15) != 0 ? -1.0 : 1.0) * magnitude * std::ldexp(1.0, exponent - 35);
}

// The code nearest to v with the finest exponent whose magnitude still fits in 10 bits.
uint16_t encode_code(double v) {
  const uint16_t sign = v < 0 ? 0x8000 : 0;
  const double a = std::fabs(v);
  for (int e = 0; e < 32; ++e) {
    const double m = std::nearbyint(a / std::ldexp(1.0, e - 35));
    if (m <= 1023) return static_cast<uint16_t>(sign | (e << 10) | static_cast<int>(m));
  }
  return static_cast<uint16_t>(sign | 0x7FFF);
}

struct bq_matrix {
  int outputs = 0, inputs = 0;
  int32_t counts[8] = {};
  std::vector<double> w;  // dequantised, outputs x inputs
  kr_omu_buffer* weights = nullptr;
  kr_omu_buffer* params = nullptr;
  kr_omu_buffer* order = nullptr;
};

// Packs random values of every width; the 32 column blocks of 256 inputs spread over the eight
// widths in a pattern rotated per matrix. `corrupt` flips the sign of one block's offset code on
// the device copy only.
bq_matrix make_bq(session& s, random& rng, int outputs, int variant, bool corrupt) {
  static const int32_t pattern[8] = {2, 3, 4, 5, 6, 5, 4, 3};
  bq_matrix m;
  m.outputs = outputs;
  m.inputs = 256;
  const int row_blocks = outputs / 16;
  for (int b = 0; b < 8; ++b) m.counts[b] = pattern[(b + variant) % 8];
  std::vector<uint32_t> order(m.inputs);
  std::iota(order.begin(), order.end(), 0u);
  for (int i = m.inputs - 1; i > 0; --i) std::swap(order[i], order[rng.integer(0, i)]);

  m.w.assign(static_cast<size_t>(outputs) * m.inputs, 0.0);
  std::vector<uint8_t> bytes;
  std::vector<uint16_t> codes;
  int d_base = 0;
  for (int b = 1; b <= 8; ++b) {
    const int count = m.counts[b - 1];
    const size_t section = bytes.size();
    bytes.resize(section + static_cast<size_t>(16 * b) * row_blocks * count, 0);
    for (int rb = 0; rb < row_blocks; ++rb) {
      for (int cb = 0; cb < count; ++cb) {
        const double amplitude = 0.06 + 0.06 * rng.uniform();
        const uint16_t offset_code = encode_code(-amplitude);
        const uint16_t step_code = encode_code(2 * amplitude / ((1 << b) - 1));
        codes.push_back(offset_code);
        codes.push_back(step_code);
        const double offset = decode_code(offset_code), step = decode_code(step_code);
        uint8_t* block = bytes.data() + section + (static_cast<size_t>(rb) * count + cb) * 16 * b;
        for (int v = 0; v < 128; ++v) {
          const int q = rng.integer(0, (1 << b) - 1);
          for (int j = 0; j < b; ++j) {
            const int p = v * b + j;
            block[p / 8] |= static_cast<uint8_t>(((q >> j) & 1) << (p % 8));
          }
          const int row = 16 * rb + v / 8;
          const uint32_t column = order[8 * (d_base + cb) + v % 8];
          m.w[static_cast<size_t>(row) * m.inputs + column] = offset + step * q;
        }
      }
    }
    d_base += count;
  }
  if (corrupt) codes[0] ^= 0x8000;
  m.weights = s.upload(bytes);
  m.params = s.upload(codes);
  m.order = s.upload(order);
  kr_omu_op_weight_16x8_preprocess_blocks_args_t pre{};
  pre.weights = m.weights;
  pre.row_blocks = row_blocks;
  std::copy(m.counts, m.counts + 8, pre.column_blocks);
  s.call("taabe2", pre);
  return m;
}

void bq_multiply(session& s, const bq_matrix& m, kr_omu_buffer* out, kr_omu_buffer* in, int rows) {
  kr_omu_op_weight_16x8_args_t a{};
  a.output = out;
  a.input = in;
  a.column_order = m.order;
  a.block_params = m.params;
  a.weights = m.weights;
  a.rows = rows;
  a.row_blocks = m.outputs / 16;
  std::copy(m.counts, m.counts + 8, a.column_blocks);
  s.call("taabe195", a);
}

std::vector<double> host_multiply(const bq_matrix& m, const std::vector<double>& in, int rows) {
  std::vector<double> out(static_cast<size_t>(rows) * m.outputs, 0.0);
  for (int r = 0; r < rows; ++r) {
    for (int n = 0; n < m.outputs; ++n) {
      double acc = 0;
      for (int c = 0; c < m.inputs; ++c) acc += in[static_cast<size_t>(r) * m.inputs + c] * m.w[static_cast<size_t>(n) * m.inputs + c];
      out[static_cast<size_t>(r) * m.outputs + n] = acc;
    }
  }
  return out;
}

// ---------------------------------------------------------------------------------------------
// Host model pieces, from the operators' definitions.

std::vector<double> host_rms_norm(const std::vector<double>& x, const std::vector<float>& gamma, int rows) {
  const int n = static_cast<int>(gamma.size());
  std::vector<double> y(x.size());
  for (int r = 0; r < rows; ++r) {
    double ms = 0;
    for (int c = 0; c < n; ++c) ms += x[static_cast<size_t>(r) * n + c] * x[static_cast<size_t>(r) * n + c];
    const double scale = 1.0 / std::sqrt(ms / n + epsilon);
    for (int c = 0; c < n; ++c) y[static_cast<size_t>(r) * n + c] = x[static_cast<size_t>(r) * n + c] * scale * gamma[c];
  }
  return y;
}

// Rotates neighbouring pairs of each head row of `rows` positions starting at `position`.
void host_rotate(std::vector<double>& x, int rows, int n_heads, int position) {
  for (int t = 0; t < rows; ++t) {
    for (int h = 0; h < n_heads; ++h) {
      for (int i = 0; i < head_size / 2; ++i) {
        const double angle = (position + t) / std::pow(static_cast<double>(rotary_base), 2.0 * i / head_size);
        double* p = &x[(static_cast<size_t>(t) * n_heads + h) * head_size + 2 * i];
        const double x0 = p[0], x1 = p[1];
        p[0] = x0 * std::cos(angle) - x1 * std::sin(angle);
        p[1] = x0 * std::sin(angle) + x1 * std::cos(angle);
      }
    }
  }
}

// A cache row as the 8-bit cache stores it: codes of (x - min) / step, step = (max - min) / 255,
// rounded half away from zero, read back as step x code + min.
std::vector<double> host_quantise_row(const double* x) {
  const double mn = *std::min_element(x, x + head_size), mx = *std::max_element(x, x + head_size);
  const double step = (mx - mn) / 255.0;
  std::vector<double> row(head_size);
  for (int e = 0; e < head_size; ++e) {
    const double code = step > 0 ? std::floor((x[e] - mn) / step + 0.5) : 0.0;
    row[e] = step * code + mn;
  }
  return row;
}

struct layer_weights {
  bq_matrix wq, wk, wv, wo;
  std::vector<bq_matrix> up, down;
  std::vector<float> gamma_attention, gamma_ffn, gate;
  kr_omu_buffer *gamma_attention_buffer, *gamma_ffn_buffer, *gate_buffer;
  // Device cache: codes, offsets and scales of keys and values.
  kr_omu_buffer *key_codes, *key_offsets, *key_scales, *value_codes, *value_offsets, *value_scales;
  // Host cache: the dequantised row of every position written so far, [position][kv head].
  std::vector<std::vector<double>> keys, values;
};

std::vector<float> random_floats(random& rng, size_t n, double lo, double hi) {
  std::vector<float> v(n);
  for (float& x : v) x = static_cast<float>(rng.uniform(lo, hi));
  return v;
}

struct model {
  session& s;
  const options& opt;
  std::vector<layer_weights> layer;
  std::vector<float> gamma_final;
  kr_omu_buffer *gamma_final_buffer, *table;
  // Activations, sized for the prefill.
  kr_omu_buffer *x, *h, *q, *qt, *k, *v, *attended, *projected, *scores, *indices, *probs, *up, *down, *weights;
  kr_omu_buffer* out;
  std::vector<double> host_x;  // the host model's residual stream of the current step

  model(session& session_, const options& o, int positions) : s(session_), opt(o) {
    random rng(o.seed * 7919 + 17);
    for (int l = 0; l < layers; ++l) {
      layer_weights w;
      const bool corrupt_here = o.corrupt && l == 0;
      w.wq = make_bq(s, rng, width, 8 * l + 0, false);
      w.wk = make_bq(s, rng, kv_heads * head_size, 8 * l + 1, false);
      w.wv = make_bq(s, rng, kv_heads * head_size, 8 * l + 2, false);
      w.wo = make_bq(s, rng, width, 8 * l + 3, corrupt_here);
      for (int e = 0; e < experts; ++e) {
        w.up.push_back(make_bq(s, rng, hidden, 8 * l + 4 + e, false));
        w.down.push_back(make_bq(s, rng, width, 8 * l + 5 + e, false));
      }
      w.gamma_attention = random_floats(rng, width, 0.8, 1.2);
      w.gamma_ffn = random_floats(rng, width, 0.8, 1.2);
      w.gate = random_floats(rng, static_cast<size_t>(experts) * width, -0.1, 0.1);
      w.gamma_attention_buffer = s.upload(w.gamma_attention);
      w.gamma_ffn_buffer = s.upload(w.gamma_ffn);
      w.gate_buffer = s.upload(w.gate);
      const size_t rows = static_cast<size_t>(kv_heads) * capacity;
      w.key_codes = s.buffer(rows * head_size);
      w.value_codes = s.buffer(rows * head_size);
      w.key_offsets = s.buffer(rows * 4);
      w.key_scales = s.buffer(rows * 4);
      w.value_offsets = s.buffer(rows * 4);
      w.value_scales = s.buffer(rows * 4);
      layer.push_back(std::move(w));
    }
    gamma_final = random_floats(rng, width, 0.8, 1.2);
    gamma_final_buffer = s.upload(gamma_final);

    // Rotary table: base^(2i/32) frequencies, divisors 1, scale 1.
    table = s.buffer(static_cast<size_t>(positions) * head_size * 4);
    kr_omu_buffer* divisors = s.upload(std::vector<float>(head_size / 2, 1.0f));
    kr_omu_op_precompute_encoding_args_t pre{};
    pre.output = table;
    pre.frequency_divisors = divisors;
    pre.base = rotary_base;
    pre.scale = 1.0f;
    pre.length = positions;
    pre.rotary_size = head_size;
    s.call("taabe8", pre);

    const size_t p = prefill;
    x = s.buffer(p * width * 4);
    h = s.buffer(p * width * 4);
    q = s.buffer(p * width * 4);
    qt = s.buffer(p * width * 4);
    k = s.buffer(p * kv_heads * head_size * 4);
    v = s.buffer(p * kv_heads * head_size * 4);
    attended = s.buffer(p * width * 4);
    projected = s.buffer(p * width * 4);
    scores = s.buffer(p * experts * 4);
    indices = s.buffer(p * top_k * 4);
    probs = s.buffer(p * top_k * 4);
    up = s.buffer(p * hidden * 4);
    down = s.buffer(p * width * 4);
    weights = s.buffer(p * 4);
    out = s.buffer(p * width * 4);
  }

  void norm(kr_omu_buffer* dst, kr_omu_buffer* src, kr_omu_buffer* gamma, int rows) {
    kr_omu_op_norm_args_t a{};
    a.output = dst;
    a.input = src;
    a.gamma = gamma;
    a.epsilon = epsilon;
    a.num_rows = rows;
    a.row_length = width;
    s.call("taabe167", a);
  }

  void add_into_x(kr_omu_buffer* addend, int rows) {
    kr_omu_op_pairwise_args_t a{};
    a.output = x;
    a.input_a = x;
    a.input_b = addend;
    a.count = rows * width;
    s.call("taabe225", a);
  }

  void encode(kr_omu_buffer* data, int rows, int n_heads, int position) {
    kr_omu_op_attention_encode_args_t a{};
    a.data = data;
    a.encoding = table;
    a.length = rows;
    a.heads = n_heads;
    a.head_size = head_size;
    a.rotary_size = head_size;
    a.position = position;
    a.interleaved = 1;
    s.call("taabe203", a);
  }

  void update_cache(kr_omu_buffer* codes, kr_omu_buffer* offsets, kr_omu_buffer* scales, kr_omu_buffer* input,
                    int rows, int position) {
    kr_omu_op_update_kv_args_t a{};
    a.cache = codes;
    a.scales = scales;
    a.offsets = offsets;
    a.input = input;
    a.kv_heads = kv_heads;
    a.length = rows;
    a.head_size = head_size;
    a.position = position;
    a.capacity = capacity;
    s.call("taabe186", a);
  }

  void check(row& r, kr_omu_buffer* buffer, const std::vector<double>& want) {
    take(s, r);
    const std::vector<float> got = s.download<float>(buffer, want.size());
    r.bound = stream_bound;
    compare(got, want, r);
  }

  // One step: `rows` new positions from `position` on, both on the device and on the host.
  void step(const std::string& name, const std::vector<float>& input, int rows, int position,
            std::vector<row>& report) {
    s.write(x, input.data(), input.size() * 4);
    host_x.assign(input.begin(), input.end());
    for (int l = 0; l < layers; ++l) {
      layer_weights& w = layer[l];
      row r{"transformer", name, std::to_string(l)};

      // Attention block.
      norm(h, x, w.gamma_attention_buffer, rows);
      bq_multiply(s, w.wq, q, h, rows);
      bq_multiply(s, w.wk, k, h, rows);
      bq_multiply(s, w.wv, v, h, rows);
      encode(q, rows, heads, position);
      encode(k, rows, kv_heads, position);
      update_cache(w.key_codes, w.key_offsets, w.key_scales, k, rows, position);
      update_cache(w.value_codes, w.value_offsets, w.value_scales, v, rows, position);
      kr_omu_buffer* query = q;
      if (rows > 1) {  // attend reads queries head-major
        kr_omu_op_transpose_args_t t{};
        t.output = qt;
        t.input = q;
        t.dim0 = heads;
        t.dim1 = rows;
        t.dim2 = head_size;
        s.call("taabe116", t);
        query = qt;
      }
      kr_omu_op_attention_attend_args_t at{};
      at.output = attended;
      at.query = query;
      at.key_cache = w.key_codes;
      at.key_offsets = w.key_offsets;
      at.key_scales = w.key_scales;
      at.value_cache = w.value_codes;
      at.value_offsets = w.value_offsets;
      at.value_scales = w.value_scales;
      at.length = rows;
      at.capacity = capacity;
      at.position = position;
      at.heads = heads;
      at.kv_heads = kv_heads;
      at.head_size = head_size;
      s.call("taabe7", at);
      bq_multiply(s, w.wo, projected, attended, rows);
      add_into_x(projected, rows);

      std::vector<double> hh = host_rms_norm(host_x, w.gamma_attention, rows);
      std::vector<double> hq = host_multiply(w.wq, hh, rows), hk = host_multiply(w.wk, hh, rows),
                          hv = host_multiply(w.wv, hh, rows);
      host_rotate(hq, rows, heads, position);
      host_rotate(hk, rows, kv_heads, position);
      for (int t = 0; t < rows; ++t) {
        for (int kh = 0; kh < kv_heads; ++kh) {
          const size_t at_row = (static_cast<size_t>(t) * kv_heads + kh) * head_size;
          w.keys.push_back(host_quantise_row(&hk[at_row]));
          w.values.push_back(host_quantise_row(&hv[at_row]));
        }
      }
      std::vector<double> ha(static_cast<size_t>(rows) * width);
      const double scale = 1.0 / std::sqrt(static_cast<double>(head_size));
      for (int t = 0; t < rows; ++t) {
        const int p = position + t;
        const int first = std::max(0, p + 1 - capacity);
        for (int hd = 0; hd < heads; ++hd) {
          const int kh = hd / (heads / kv_heads);
          const double* qv = &hq[(static_cast<size_t>(t) * heads + hd) * head_size];
          std::vector<double> sc;
          for (int j = first; j <= p; ++j) {
            const std::vector<double>& key = w.keys[static_cast<size_t>(j) * kv_heads + kh];
            double dot = 0;
            for (int e = 0; e < head_size; ++e) dot += qv[e] * key[e];
            sc.push_back(dot * scale);
          }
          const double mx = *std::max_element(sc.begin(), sc.end());
          double sum = 0;
          for (double& z : sc) sum += (z = std::exp(z - mx));
          for (int e = 0; e < head_size; ++e) {
            double acc = 0;
            for (int j = first; j <= p; ++j) acc += sc[j - first] / sum * w.values[static_cast<size_t>(j) * kv_heads + kh][e];
            ha[(static_cast<size_t>(t) * heads + hd) * head_size + e] = acc;
          }
        }
      }
      const std::vector<double> ho = host_multiply(w.wo, ha, rows);
      for (size_t i = 0; i < host_x.size(); ++i) host_x[i] += ho[i];

      // Mixture of experts: the device gate routes; the host checks the routing, then both apply it.
      norm(h, x, w.gamma_ffn_buffer, rows);
      kr_omu_op_matmul_args_t mm{};
      mm.output = scores;
      mm.lhs = h;
      mm.rhs = w.gate_buffer;
      mm.rows = rows;
      mm.cols = experts;
      mm.depth = width;
      s.call("taabe54", mm);
      kr_omu_op_gate_args_t g{};
      g.top_indices = indices;
      g.top_probs = probs;
      g.scores = scores;
      g.num_rows = rows;
      g.top_k = top_k;
      g.num_candidates = experts;
      s.call("taabe149", g);
      const std::vector<int32_t> chosen = s.download<int32_t>(indices, static_cast<size_t>(rows) * top_k);
      const std::vector<float> chosen_probs = s.download<float>(probs, static_cast<size_t>(rows) * top_k);

      const std::vector<double> hf = host_rms_norm(host_x, w.gamma_ffn, rows);
      std::vector<double> host_weights(static_cast<size_t>(rows) * experts, 0.0);
      for (int t = 0; t < rows; ++t) {
        double sc[experts];
        for (int e = 0; e < experts; ++e) {
          sc[e] = 0;
          for (int c = 0; c < width; ++c) sc[e] += hf[static_cast<size_t>(t) * width + c] * w.gate[static_cast<size_t>(e) * width + c];
        }
        const int32_t a = chosen[t * top_k], b = chosen[t * top_k + 1];
        if (a < 0 || a >= experts || b < 0 || b >= experts || a == b) {
          throw failure("gate chose experts " + std::to_string(a) + " and " + std::to_string(b));
        }
        // Scores closer than 1e-3 may order either way between float32 and double.
        const double weakest = std::min(sc[a], sc[b]);
        for (int e = 0; e < experts; ++e) {
          if (e != a && e != b && sc[e] > weakest + 1e-3) {
            r.note = "gate routing differs from the host scores at position " + std::to_string(position + t);
          }
        }
        const double m = std::max(sc[a], sc[b]);
        const double ea = std::exp(sc[a] - m), eb = std::exp(sc[b] - m);
        host_weights[static_cast<size_t>(t) * experts + a] = ea / (ea + eb);
        host_weights[static_cast<size_t>(t) * experts + b] = eb / (ea + eb);
      }
      for (int e = 0; e < experts; ++e) {
        std::vector<float> device_weights(rows, 0.0f);
        bool used = false;
        for (int t = 0; t < rows; ++t) {
          for (int j = 0; j < top_k; ++j) {
            if (chosen[t * top_k + j] == e) {
              device_weights[t] = chosen_probs[t * top_k + j];
              used = true;
            }
          }
        }
        if (!used) continue;
        s.write(weights, device_weights.data(), device_weights.size() * 4);
        bq_multiply(s, w.up[e], up, h, rows);
        kr_omu_op_elementwise_args_t act{};
        act.output = up;
        act.input = up;
        act.count = rows * hidden;
        s.call("taabe190", act);
        bq_multiply(s, w.down[e], down, up, rows);
        kr_omu_op_pairwise_broadcast_args_t scale_rows{};
        scale_rows.output = down;
        scale_rows.input_a = down;
        scale_rows.input_b = weights;
        scale_rows.num_rows = rows;
        scale_rows.row_length = width;
        s.call("taabe46", scale_rows);
        add_into_x(down, rows);

        std::vector<double> hu = host_multiply(w.up[e], hf, rows);
        for (double& z : hu) z = z / (1.0 + std::exp(-z));
        const std::vector<double> hd = host_multiply(w.down[e], hu, rows);
        for (int t = 0; t < rows; ++t) {
          const double we = host_weights[static_cast<size_t>(t) * experts + e];
          for (int c = 0; c < width; ++c) host_x[static_cast<size_t>(t) * width + c] += we * hd[static_cast<size_t>(t) * width + c];
        }
      }
      check(r, x, host_x);
      if (!r.note.empty()) r.pass = false;
      report.push_back(r);
    }
    row r{"transformer", name, "out"};
    norm(out, x, gamma_final_buffer, rows);
    check(r, out, host_rms_norm(host_x, gamma_final, rows));
    report.push_back(r);
  }
};

}  // namespace

void run_transformer(const library& lib, const options& opt, std::vector<row>& report) {
  const int positions = prefill + opt.steps;
  session s(lib, session::on_failure::raise);
  s.time_calls(true);
  model m(s, opt, positions);
  random inputs(opt.seed * 104729 + 3);
  auto embeddings = [&](int rows) {
    std::vector<float> e(static_cast<size_t>(rows) * width);
    for (float& z : e) z = static_cast<float>(inputs.uniform(-1.7, 1.7));
    return e;
  };
  row setup{"transformer", "setup", "-"};
  take(s, setup);
  setup.bound = -1;  // weight preprocessing and the rotary table: timing only
  report.push_back(setup);

  m.step("prefill", embeddings(prefill), prefill, 0, report);
  for (int i = 0; i < opt.steps; ++i) {
    if (opt.steps > 8) std::fprintf(stderr, "\rdemo: decode step %d/%d", i + 1, opt.steps);
    m.step("decode " + std::to_string(i + 1), embeddings(1), 1, prefill + i, report);
  }
  if (opt.steps > 8) std::fprintf(stderr, "\n");
}

}  // namespace demo
}  // namespace omu
