// Scratch storage of a call: up to N values on the stack, more on the heap, so that the common
// small calls make no heap allocation at all.
#pragma once

#include <array>
#include <cstddef>
#include <type_traits>
#include <vector>

#include "core/wipe.hpp"

namespace velkor::core {

// Storage for `count` values of T: on the stack up to N values, else one heap block. The stack
// values are not initialised (the heap ones are value-initialised). With Wipe, the used part is
// wiped when the storage goes out of scope, on every path (the heap block by its allocator).
template <class T, std::size_t N, bool Wipe>
class Scratch {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

 public:
  explicit Scratch(std::size_t count) : count_(count) {
    if (count > N) heap_.resize(count);
    data_ = count > N ? heap_.data() : inline_.data();
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  ~Scratch() {
    if constexpr (Wipe) {
      if (count_ <= N) secure_wipe(inline_.data(), count_ * sizeof(T));
    }
  }

  [[nodiscard]] T* data() noexcept { return data_; }
  [[nodiscard]] const T* data() const noexcept { return data_; }
  [[nodiscard]] T& operator[](std::size_t i) noexcept { return data_[i]; }
  [[nodiscard]] const T& operator[](std::size_t i) const noexcept { return data_[i]; }

 private:
  using Heap = std::conditional_t<Wipe, SecretVector<T>, std::vector<T>>;
  std::size_t count_;
  T* data_ = nullptr;
  std::array<T, N> inline_;  // left uninitialised on purpose: only the first count_ are used
  Heap heap_;
};

}  // namespace velkor::core
