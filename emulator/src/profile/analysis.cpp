// Warp requests from the recorded accesses of one block (kr_emu/profile.h).
#include <algorithm>
#include <cstddef>
#include <tuple>

#include "kr_emu/profile.h"

namespace kr_emu {
namespace profile {

namespace {

constexpr std::uint64_t sector_bytes = 32;
constexpr unsigned banks = 32;
constexpr unsigned bank_bytes = 4;

// Distinct bytes covered by the lanes' ranges.
double distinct_bytes(const access* lanes, std::size_t count) {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
  ranges.reserve(count);
  for (std::size_t i = 0; i < count; ++i) ranges.emplace_back(lanes[i].address, lanes[i].address + lanes[i].size);
  std::sort(ranges.begin(), ranges.end());
  double total = 0;
  std::uint64_t end = 0;
  for (const auto& r : ranges) {
    const std::uint64_t from = std::max(r.first, end);
    if (r.second > from) total += static_cast<double>(r.second - from);
    end = std::max(end, r.second);
  }
  return total;
}

void add_sectors(const access& a, std::vector<std::uint64_t>& out) {
  if (a.size == 0) return;
  for (std::uint64_t s = a.address / sector_bytes; s <= (a.address + a.size - 1) / sector_bytes; ++s) out.push_back(s);
}

// Bank-conflict ways of a shared-memory request. Lanes of 8-byte accesses are served in two
// phases of 16 lanes, of 16-byte accesses in four of 8, as on the GPU; within a phase the ways are
// the most distinct 4-byte words any one bank holds (lanes reading the same word share it).
unsigned shared_ways(const access* lanes, std::size_t count) {
  std::uint32_t widest = 0;
  for (std::size_t i = 0; i < count; ++i) widest = std::max(widest, lanes[i].size);
  const unsigned lanes_per_phase = widest > 8 ? 8 : widest > 4 ? 16 : 32;
  unsigned worst = 0;
  std::vector<std::pair<unsigned, std::uint64_t>> words;  // (phase, word)
  for (std::size_t i = 0; i < count; ++i) {
    const access& a = lanes[i];
    const unsigned phase = (a.thread % 32) / lanes_per_phase;
    if (a.size == 0) continue;
    for (std::uint64_t w = a.address / bank_bytes; w <= (a.address + a.size - 1) / bank_bytes; ++w) words.emplace_back(phase, w);
  }
  std::sort(words.begin(), words.end());
  words.erase(std::unique(words.begin(), words.end()), words.end());
  std::size_t i = 0;
  while (i < words.size()) {
    unsigned per_bank[banks] = {};
    const unsigned phase = words[i].first;
    for (; i < words.size() && words[i].first == phase; ++i) {
      const unsigned n = ++per_bank[words[i].second % banks];
      worst = std::max(worst, n);
    }
  }
  return worst;
}

auto request_key(const access& a) {
  return std::make_tuple(a.thread / 32, static_cast<int>(a.where), static_cast<int>(a.what), a.site, a.occurrence);
}

}  // namespace

figures& figures::operator+=(const figures& o) {
  global_requests += o.global_requests;
  global_sectors += o.global_sectors;
  useful_bytes += o.useful_bytes;
  shared_requests += o.shared_requests;
  shared_ways += o.shared_ways;
  shared_ways_max = std::max(shared_ways_max, o.shared_ways_max);
  atomics += o.atomics;
  atomic_requests += o.atomic_requests;
  atomic_same_address += o.atomic_same_address;
  unique_sectors += o.unique_sectors;
  return *this;
}

figures figures::scaled(double factor) const {
  figures f = *this;
  f.global_requests *= factor;
  f.global_sectors *= factor;
  f.useful_bytes *= factor;
  f.shared_requests *= factor;
  f.shared_ways *= factor;
  f.atomics *= factor;
  f.atomic_requests *= factor;
  f.atomic_same_address *= factor;
  f.unique_sectors *= factor;
  return f;
}

figures analyse_request(const access* lanes, std::size_t count) {
  figures f;
  if (count == 0) return f;
  const access& first = lanes[0];
  if (first.what == kind::atomic) {
    f.atomics = static_cast<double>(count);
    f.atomic_requests = 1;
    std::vector<std::uint64_t> addresses;
    for (std::size_t i = 0; i < count; ++i) addresses.push_back(lanes[i].address);
    std::sort(addresses.begin(), addresses.end());
    // Lanes whose address some other lane of the request also targets.
    for (std::size_t i = 0; i < addresses.size();) {
      std::size_t j = i;
      while (j < addresses.size() && addresses[j] == addresses[i]) ++j;
      if (j - i > 1) f.atomic_same_address += static_cast<double>(j - i);
      i = j;
    }
    return f;
  }
  if (first.where == space::shared) {
    f.shared_requests = 1;
    f.shared_ways = f.shared_ways_max = shared_ways(lanes, count);
    return f;
  }
  std::vector<std::uint64_t> sectors;
  for (std::size_t i = 0; i < count; ++i) add_sectors(lanes[i], sectors);
  std::sort(sectors.begin(), sectors.end());
  sectors.erase(std::unique(sectors.begin(), sectors.end()), sectors.end());
  f.global_requests = 1;
  f.global_sectors = static_cast<double>(sectors.size());
  f.useful_bytes = distinct_bytes(lanes, count);
  return f;
}

void analyse_block(std::vector<access>& accesses, figures& into, std::vector<std::uint64_t>* sectors,
                   std::vector<figures>* operands) {
  std::stable_sort(accesses.begin(), accesses.end(),
                   [](const access& a, const access& b) { return request_key(a) < request_key(b); });
  std::size_t i = 0;
  while (i < accesses.size()) {
    std::size_t j = i + 1;
    const auto key = request_key(accesses[i]);
    while (j < accesses.size() && request_key(accesses[j]) == key) ++j;
    into += analyse_request(&accesses[i], j - i);
    if (operands != nullptr && accesses[i].where == space::global && accesses[i].what != kind::atomic) {
      // The request's lanes by operand, each run counted as that operand's request.
      std::stable_sort(accesses.begin() + static_cast<std::ptrdiff_t>(i), accesses.begin() + static_cast<std::ptrdiff_t>(j),
                       [](const access& a, const access& b) { return a.operand < b.operand; });
      for (std::size_t k = i; k < j;) {
        std::size_t m = k + 1;
        while (m < j && accesses[m].operand == accesses[k].operand) ++m;
        if (operands->size() <= accesses[k].operand) operands->resize(accesses[k].operand + std::size_t{1});
        (*operands)[accesses[k].operand] += analyse_request(&accesses[k], m - k);
        k = m;
      }
    }
    if (sectors != nullptr && accesses[i].where == space::global && accesses[i].what != kind::atomic) {
      for (std::size_t k = i; k < j; ++k) add_sectors(accesses[k], *sectors);
    }
    i = j;
  }
  if (sectors != nullptr) {
    std::sort(sectors->begin(), sectors->end());
    sectors->erase(std::unique(sectors->begin(), sectors->end()), sectors->end());
  }
}

}  // namespace profile
}  // namespace kr_emu
