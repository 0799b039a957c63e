#include "boundary/forced_unwind.hpp"

namespace velkor::boundary {

namespace {

// Per thread; constant-initialised, so reading it runs no initialisation code.
thread_local bool leaving = false;

}  // namespace

bool thread_leaving() noexcept {
  return leaving;
}

void mark_thread_leaving() noexcept {
  leaving = true;
}

}  // namespace velkor::boundary
