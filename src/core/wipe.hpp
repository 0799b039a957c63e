// Wiping of secret material. Every buffer that holds key material (a generated key, a rebuilt
// secret, secret words, polynomial coefficients, evaluated share values, parsed share values)
// is overwritten with zeros by secure_wipe before its memory is released or goes out of scope.
// secure_wipe's stores cannot be removed by the optimiser, unlike a memset of a dead buffer.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <vector>

namespace velkor::core {

// Overwrites `size` bytes at `data` with zeros using the platform's non-elidable primitive.
void secure_wipe(void* data, std::size_t size) noexcept;

// Allocator that wipes every block before handing it back, so a container of secrets is wiped
// on every path that frees it: normal return, early error return and exception unwinding.
template <class T>
struct WipingAllocator {
  using value_type = T;

  WipingAllocator() noexcept = default;
  template <class U>
  WipingAllocator(const WipingAllocator<U>&) noexcept {}

  [[nodiscard]] T* allocate(std::size_t count) { return std::allocator<T>{}.allocate(count); }
  void deallocate(T* block, std::size_t count) noexcept {
    secure_wipe(block, count * sizeof(T));
    std::allocator<T>{}.deallocate(block, count);
  }

  template <class U>
  friend bool operator==(const WipingAllocator&, const WipingAllocator<U>&) noexcept {
    return true;
  }
};

template <class T>
using SecretVector = std::vector<T, WipingAllocator<T>>;

// WipingAllocator for a buffer that is written in full before anything reads it (the texts of a
// split): an element made without a value is left uninitialised, so that resize() does not zero
// the block first (an element made from a value is constructed as std::allocator_traits does by
// default). The block is wiped when it is released, like any other.
template <class T>
struct WriteFirstAllocator : WipingAllocator<T> {
  using value_type = T;
  WriteFirstAllocator() noexcept = default;
  template <class U>
  WriteFirstAllocator(const WriteFirstAllocator<U>&) noexcept {}
  template <class U>
  void construct(U* place) noexcept(std::is_nothrow_default_constructible_v<U>) {
    ::new (static_cast<void*>(place)) U;
  }
  template <class U>
  friend bool operator==(const WriteFirstAllocator&, const WriteFirstAllocator<U>&) noexcept {
    return true;
  }
};

// A string whose heap block is wiped when it is released (on growth too). A text of up to 15
// characters sits in the string object's own small buffer instead, which nothing wipes; the
// texts kept here (share texts, messages that quote them) are always longer.
using SecretString = std::basic_string<char, std::char_traits<char>, WipingAllocator<char>>;

// A fixed-size buffer of secrets that wipes itself when it goes out of scope.
template <class T, std::size_t N>
class SecretArray {
 public:
  SecretArray() noexcept : data_{} {}
  SecretArray(const SecretArray&) = delete;
  SecretArray& operator=(const SecretArray&) = delete;
  ~SecretArray() { secure_wipe(data_.data(), sizeof(data_)); }

  [[nodiscard]] T* data() noexcept { return data_.data(); }
  [[nodiscard]] const T* data() const noexcept { return data_.data(); }
  [[nodiscard]] static constexpr std::size_t size() noexcept { return N; }
  [[nodiscard]] T& operator[](std::size_t i) noexcept { return data_[i]; }
  [[nodiscard]] const T& operator[](std::size_t i) const noexcept { return data_[i]; }
  [[nodiscard]] std::array<T, N>& array() noexcept { return data_; }
  [[nodiscard]] const std::array<T, N>& array() const noexcept { return data_; }

 private:
  std::array<T, N> data_;
};

}  // namespace velkor::core
