#pragma once
// The test binary's global allocator can be told to refuse large requests, as
// an exhausted heap would, so that running out of memory can be tested.

#include <cstddef>

namespace castles::testing {

// While alive, every single allocation above maxBytes throws std::bad_alloc.
class AllocationLimit {
 public:
  explicit AllocationLimit(std::size_t maxBytes);
  AllocationLimit(const AllocationLimit&) = delete;
  AllocationLimit& operator=(const AllocationLimit&) = delete;
  ~AllocationLimit();
};

}  // namespace castles::testing
