#include "bench/CountingHeap.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace {

std::atomic<long long> gLiveBytes{0}, gLiveBlocks{0}, gPeakBytes{0};

// Each block carries its size in front, kept 16-byte aligned for any fundamental type.
constexpr std::size_t kHeader = 16;

void* Allocate(std::size_t size) {
  void* raw = std::malloc(size + kHeader);
  if (!raw) throw std::bad_alloc();
  *static_cast<std::size_t*>(raw) = size;
  const long long live = gLiveBytes += static_cast<long long>(size);
  ++gLiveBlocks;
  for (long long peak = gPeakBytes; live > peak && !gPeakBytes.compare_exchange_weak(peak, live);) {
  }
  return static_cast<char*>(raw) + kHeader;
}

void Release(void* block) {
  if (!block) return;
  void* raw = static_cast<char*>(block) - kHeader;
  gLiveBytes -= static_cast<long long>(*static_cast<std::size_t*>(raw));
  --gLiveBlocks;
  std::free(raw);
}

}  // namespace

namespace kelda::bench {

long long LiveHeapBytes() {
  return gLiveBytes.load();
}
long long LiveHeapBlocks() {
  return gLiveBlocks.load();
}
long long PeakHeapBytes() {
  return gPeakBytes.load();
}
void ResetHeapPeak() {
  gPeakBytes = gLiveBytes.load();
}

}  // namespace kelda::bench

void* operator new(std::size_t size) {
  return Allocate(size);
}
void* operator new[](std::size_t size) {
  return Allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return Allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return Allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void operator delete(void* block) noexcept {
  Release(block);
}
void operator delete[](void* block) noexcept {
  Release(block);
}
void operator delete(void* block, std::size_t) noexcept {
  Release(block);
}
void operator delete[](void* block, std::size_t) noexcept {
  Release(block);
}
