#pragma once
// Working storage of a batch that grows to the largest size asked for and is
// never filled in advance: only what the batch writes is touched, so the
// part a chunk never reaches costs no memory, and growing costs no pass.
// Its values are indeterminate until written; callers read only what they
// wrote.

#include <algorithm>
#include <cstddef>
#include <memory>
#include <span>
#include <type_traits>

namespace castles {

template <typename T>
class Scratch {
  static_assert(std::is_trivially_default_constructible_v<T>);

 public:
  // @return room for at least n values, those of before kept only when no
  //         growing was needed
  std::span<T> reserve(std::size_t n) {
    if (n > capacity_) {
      // At least doubling, so that sizes that creep up one at a time, as the
      // exclusion stage's do, allocate a logarithmic number of times.
      capacity_ = std::max(n, 2 * capacity_);
      data_.reset(new T[capacity_]);  // default-initialized: not written, not touched
    }
    return {data_.get(), capacity_};
  }

  T* data() { return data_.get(); }
  const T* data() const { return data_.get(); }
  std::size_t capacity() const { return capacity_; }

 private:
  std::unique_ptr<T[]> data_;
  std::size_t capacity_ = 0;
};

}  // namespace castles
