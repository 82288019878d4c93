#include <malloc.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/library.h"

namespace {

using kr_test::messages;
using kr_test::stored;

const std::string alloc_failure = "Failed to alloc memory.";
const std::string to_device = "Failed to copy memory to device.";
const std::string from_device = "Failed to copy memory from device.";

class BufferTest : public kr_test::LibraryTest {};

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KR_TEST_SANITIZER_HEAP 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KR_TEST_SANITIZER_HEAP 1
#endif
#endif
#if defined(KR_TEST_SANITIZER_HEAP)
// From the sanitizers' allocator interface (GCC does not install its header).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

// Bytes of the process heap in use, from the sanitizer's allocator where one replaces malloc.
size_t heap_bytes_in_use() {
#if defined(KR_TEST_SANITIZER_HEAP)
  return __sanitizer_get_current_allocated_bytes();
#else
  return mallinfo2().uordblks;
#endif
}

TEST_F(BufferTest, AllocateFillsTheRecord) {
  kr_omu_buffer* b = taabe79(device(), 100, 77);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(b->address, nullptr);
  EXPECT_EQ(b->size, 100);
  EXPECT_EQ(b->user_value, 77);
  EXPECT_EQ(b->mirror_refs, 0);
  EXPECT_EQ(b->mirror, nullptr);
  EXPECT_EQ(taabe37(device(), b), 100);
  taabe10(device(), b);
}

TEST_F(BufferTest, AllocationFailuresReturnNullWithOneMessage) {
  // A negative size widens to a size no device has.
  EXPECT_EQ(taabe79(device(), -1, 0), nullptr);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  if (kr_test::fail_call("cudaMallocAsync", cudaErrorMemoryAllocation)) {
    EXPECT_EQ(taabe79(device(), 16, 0), nullptr);
  }
  const auto stack = messages();
  ASSERT_EQ(stack.size(), kr_test::emulated() ? 2u : 1u);
  for (const std::string& m : stack) EXPECT_EQ(m, stored(825, alloc_failure));
}

TEST_F(BufferTest, OffsetsAreBytes) {
  kr_omu_buffer* b = buffer(32);
  const std::vector<uint8_t> zeros(32, 0);
  ASSERT_EQ(taabe9(device(), b, zeros.data(), 0, 32), KR_STATUS_SUCCESS);
  std::vector<uint8_t> data(16);
  for (int i = 0; i < 16; ++i) data[i] = static_cast<uint8_t>(i + 1);
  ASSERT_EQ(taabe9(device(), b, data.data(), 8, 16), KR_STATUS_SUCCESS);
  EXPECT_EQ(download<uint8_t>(b, 16, 8), data);
  const auto whole = download<uint8_t>(b, 32);
  for (int i = 0; i < 32; ++i) EXPECT_EQ(whole[i], (i >= 8 && i < 24) ? i - 7 : 0) << i;
}

TEST_F(BufferTest, CopiesOutsideTheBufferFail) {
  kr_omu_buffer* b = buffer(16);
  std::vector<uint8_t> host(64, 1);
  // Past the end, before the start, and negative counts are refused by the runtime or the entry.
  const struct {
    int32_t offset;
    int32_t count;
  } cases[] = {{0, 64}, {-16, 8}, {0, -1}};
  int failures = 0;
  for (const auto& c : cases) {
    if (!kr_test::emulated() && c.count > 0) continue;  // a GPU may not check host-side ranges
    EXPECT_EQ(taabe9(device(), b, host.data(), c.offset, c.count), KR_STATUS_RUNTIME_ERROR);
    EXPECT_EQ(taabe137(device(), b, host.data(), c.offset, c.count), KR_STATUS_RUNTIME_ERROR);
    failures += 1;
  }
  const auto stack = messages();
  ASSERT_EQ(stack.size(), std::min<size_t>(8, 2 * failures));
  for (size_t i = 0; i < stack.size(); ++i) EXPECT_EQ(stack[i], stored(i % 2 == 0 ? 826 : 827, i % 2 == 0 ? to_device : from_device));
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

TEST_F(BufferTest, InjectedCopyFailuresReportTheirRecords) {
  KR_REQUIRE_EMULATOR();
  kr_omu_buffer* b = buffer(16);
  std::vector<uint8_t> host(16, 3);
  kr_test::fail_call("cudaMemcpy", cudaErrorUnknown);
  EXPECT_EQ(taabe9(device(), b, host.data(), 0, 16), KR_STATUS_RUNTIME_ERROR);
  kr_test::fail_call("cudaMemcpy", cudaErrorUnknown);
  EXPECT_EQ(taabe137(device(), b, host.data(), 0, 16), KR_STATUS_RUNTIME_ERROR);
  EXPECT_EQ(messages(), (std::vector<std::string>{stored(826, to_device), stored(827, from_device)}));
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

TEST_F(BufferTest, NullBufferOperationsAreHarmless) {
  uint8_t host[4] = {};
  EXPECT_EQ(taabe37(device(), nullptr), 0);
  EXPECT_EQ(taabe9(device(), nullptr, host, 0, 4), KR_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(taabe137(device(), nullptr, host, 0, 4), KR_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(taabe93(device(), nullptr, 1), nullptr);
  taabe150(device(), nullptr, 1);
  taabe10(device(), nullptr);
  kr_omu_buffer* b = buffer(4);
  EXPECT_EQ(taabe9(device(), b, nullptr, 0, 4), KR_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(taabe137(device(), b, nullptr, 0, 4), KR_STATUS_INVALID_ARGUMENT);
  EXPECT_TRUE(messages().empty());
}

TEST_F(BufferTest, NestedMappingsShareOneMirror) {
  const std::vector<int32_t> values = {1, 2, 3, 4};
  kr_omu_buffer* b = upload(values);
  auto* first = static_cast<int32_t*>(taabe93(device(), b, 1));
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(b->mirror_refs, 1);
  EXPECT_EQ(std::vector<int32_t>(first, first + 4), values);
  first[0] = 99;  // the second map with copy_in refills the same mirror
  auto* second = static_cast<int32_t*>(taabe93(device(), b, 1));
  EXPECT_EQ(second, first);
  EXPECT_EQ(b->mirror_refs, 2);
  EXPECT_EQ(second[0], 1);
  taabe150(device(), b, 0);
  EXPECT_EQ(b->mirror_refs, 1);
  EXPECT_EQ(b->mirror, first);
  taabe150(device(), b, 0);
  EXPECT_EQ(b->mirror_refs, 0);
  EXPECT_EQ(b->mirror, nullptr);
  // An unbalanced unmap does nothing.
  taabe150(device(), b, 1);
  EXPECT_EQ(b->mirror_refs, 0);
  EXPECT_TRUE(messages().empty());
}

TEST_F(BufferTest, UnmapWithCopyOutWritesTheMirrorBack) {
  kr_omu_buffer* b = upload(std::vector<int32_t>{5, 6, 7});
  auto* mirror = static_cast<int32_t*>(taabe93(device(), b, 0));
  ASSERT_NE(mirror, nullptr);
  mirror[0] = 50;
  mirror[1] = 60;
  mirror[2] = 70;
  taabe150(device(), b, 1);
  EXPECT_EQ(download<int32_t>(b, 3), (std::vector<int32_t>{50, 60, 70}));
}

TEST_F(BufferTest, FailedMapFillKeepsTheCountForTheUnmap) {
  KR_REQUIRE_EMULATOR();
  kr_omu_buffer* b = buffer(8);
  kr_test::fail_call("cudaMemcpy", cudaErrorUnknown);
  EXPECT_EQ(taabe93(device(), b, 1), nullptr);
  EXPECT_EQ(b->mirror_refs, 1);
  EXPECT_NE(b->mirror, nullptr);
  taabe150(device(), b, 0);
  EXPECT_EQ(b->mirror_refs, 0);
  EXPECT_EQ(b->mirror, nullptr);
  EXPECT_EQ(messages(), (std::vector<std::string>{stored(827, from_device)}));
}

TEST_F(BufferTest, FailedWriteBackStillReleasesTheMapping) {
  KR_REQUIRE_EMULATOR();
  kr_omu_buffer* b = buffer(8);
  ASSERT_NE(taabe93(device(), b, 0), nullptr);
  kr_test::fail_call("cudaMemcpy", cudaErrorUnknown);
  taabe150(device(), b, 1);
  EXPECT_EQ(b->mirror_refs, 0);
  EXPECT_EQ(b->mirror, nullptr);
  EXPECT_EQ(messages(), (std::vector<std::string>{stored(826, to_device)}));
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

TEST_F(BufferTest, HostMemory) {
  void* p = taabe68(device(), 64);
  ASSERT_NE(p, nullptr);
  std::memset(p, 1, 64);
  taabe197(device(), p);
  EXPECT_EQ(taabe68(device(), -1), nullptr);
  taabe197(device(), nullptr);
  EXPECT_TRUE(messages().empty());
}

// Freeing a buffer that is still mapped releases its mirror too: once the record is gone nothing
// could unmap it. Both the device allocation and the host heap return to where they were.
TEST_F(BufferTest, FreeingAMappedBufferReleasesItsMirror) {
  device();
  const long allocations = kr_test::live_allocations();
  constexpr int cycles = 1000;
  constexpr int32_t bytes = 4096;
  const size_t heap_before = heap_bytes_in_use();
  for (int i = 0; i < cycles; ++i) {
    kr_omu_buffer* b = taabe79(device(), bytes, 0);
    ASSERT_NE(b, nullptr);
    ASSERT_NE(taabe93(device(), b, 1), nullptr);
    if (i % 2 == 1) ASSERT_NE(taabe93(device(), b, 0), nullptr);  // mapped twice
    taabe10(device(), b);
  }
  EXPECT_EQ(kr_test::live_allocations(), allocations);
  // Without the release the mirrors alone would hold cycles x 4 KiB = 4 MB.
  const size_t heap_after = heap_bytes_in_use();
  EXPECT_LT(heap_after, heap_before + cycles * bytes / 8) << heap_before << " -> " << heap_after;
  EXPECT_TRUE(messages().empty());
}

}  // namespace
