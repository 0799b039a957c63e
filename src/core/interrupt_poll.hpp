// The hook through which a long split or combine lets its caller stop it (the module checks for
// signals there, so that Ctrl-C ends the call).
#pragma once

#include <cstddef>

namespace velkor::core {

// Called every so often while an operation works through its shares. It returns to let the
// operation go on, or throws to stop it: the exception leaves the operation as it was thrown,
// after every secret buffer has been wiped, like any other exception from inside it. Null: no
// polls.
using InterruptPoll = void (*)();

// About how much work lies between two polls, in steps of one Horner step of a split (or one
// index difference of a combine's weights): about a millisecond. A share at a small threshold
// costs about kShareSteps of them.
inline constexpr std::size_t kPollSteps = std::size_t{1} << 17;
inline constexpr std::size_t kShareSteps = 32;

// How many items, each of `steps` steps of work, lie between two polls: at least one.
[[nodiscard]] constexpr std::size_t items_per_poll(std::size_t steps) noexcept {
  return steps >= kPollSteps ? 1 : kPollSteps / (steps == 0 ? 1 : steps);
}

// Counts items down to the next poll: one decrement and one compare per item.
class PollCountdown {
 public:
  PollCountdown(InterruptPoll poll, std::size_t interval) noexcept
      : poll_(poll), interval_(interval), left_(interval) {}

  // Called once per item; polls after every `interval` items.
  void tick() {
    if (--left_ == 0) {
      left_ = interval_;
      if (poll_ != nullptr) poll_();
    }
  }

 private:
  InterruptPoll poll_;
  std::size_t interval_;
  std::size_t left_;
};

}  // namespace velkor::core
