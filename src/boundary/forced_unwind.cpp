#include "boundary/forced_unwind.hpp"

namespace velkor::boundary {

namespace {

// Per thread; constant-initialised, so reading it runs no initialisation code.
thread_local bool leaving = false;

}  // namespace

namespace detail {

std::atomic<bool> any_thread_leaving{false};

bool this_thread_leaving() noexcept {
  return leaving;
}

}  // namespace detail

void mark_thread_leaving() noexcept {
  // The thread's own flag is what thread_leaving() answers; the shared one only lets the other
  // threads skip the lookup, so no ordering is needed between the two.
  leaving = true;
  detail::any_thread_leaving.store(true, std::memory_order_relaxed);
}

}  // namespace velkor::boundary
