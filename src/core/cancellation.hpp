// Holding thread cancellation off around the module's calls that are cancellation points.
//
// Every call of the module holds the interpreter lock from entry to return. A deferred
// cancellation (pthread_cancel) acted on at a cancellation point inside it would end the thread
// with the lock still held, and every other thread of the process would wait for it for ever;
// inside a noexcept function it would end the process in std::terminate. So the module's own
// calls that can be cancellation points (getrandom(), the writes of a failure report, the reads
// of /proc by the stack scrub) are made with cancellation disabled. A cancellation that is
// pending stays pending, and acts at the thread's next cancellation point once the previous
// state is back: after the call, where the interpreter releases its lock around a blocking call.
#pragma once

#if !defined(_WIN32)
#include <pthread.h>
#endif

namespace velkor::core {

// Disables cancellation of the calling thread while it lives, then restores the previous state.
// Neither change is itself a cancellation point.
class CancellationHeldOff {
 public:
  CancellationHeldOff() noexcept {
#if !defined(_WIN32)
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &previous_);
#endif
  }
  CancellationHeldOff(const CancellationHeldOff&) = delete;
  CancellationHeldOff& operator=(const CancellationHeldOff&) = delete;
  ~CancellationHeldOff() {
#if !defined(_WIN32)
    int ignored = 0;
    pthread_setcancelstate(previous_, &ignored);
#endif
  }

#if !defined(_WIN32)
 private:
  int previous_ = 0;
#endif
};

}  // namespace velkor::core
