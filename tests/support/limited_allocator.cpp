#include "limited_allocator.hpp"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<std::size_t> allocationLimit{0};  // 0: no limit

}  // namespace

namespace castles::testing {

AllocationLimit::AllocationLimit(std::size_t maxBytes) { allocationLimit = maxBytes; }
AllocationLimit::~AllocationLimit() { allocationLimit = 0; }

}  // namespace castles::testing

// With no limit set, plain malloc and free. The array forms fall back to
// these by default.
void* operator new(std::size_t size) {
  const std::size_t limit = allocationLimit.load();
  if (limit != 0 && size > limit) {
    throw std::bad_alloc();
  }
  if (void* p = std::malloc(size == 0 ? 1 : size)) {
    return p;
  }
  throw std::bad_alloc();
}

#if defined(__GNUC__) && !defined(__clang__)
// GCC 12 takes free in a replacement operator delete for a mismatch.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t /*size*/) noexcept { std::free(p); }
