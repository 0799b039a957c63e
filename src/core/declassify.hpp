// Declassification: where code that works on secrets branches on a result on purpose. The
// share reader works branch-free on the digits of a text, then decides on a few verdicts (where
// the text is cut, whether a piece reads); those verdicts are derived from secret bytes but are
// public by design, since the caller learns them anyway (as the outcome of the call) or chose
// them (the lengths of its pieces).
//
// The constant-time check (tests/ct) runs the core under valgrind's memcheck with the secrets
// marked undefined, and memcheck reports every branch on a value that depends on them. In the
// copy of the core built for that check (VELKOR_CT_DECLASSIFY), declassify marks its value
// defined again, so that only these deliberate branches are let through and any other is still
// reported. In every other build it does nothing.
#pragma once

#if defined(VELKOR_CT_DECLASSIFY)
#include <valgrind/memcheck.h>
#endif

namespace velkor::core {

template <class T>
inline void declassify(T& value) noexcept {
#if defined(VELKOR_CT_DECLASSIFY)
  (void)VALGRIND_MAKE_MEM_DEFINED(&value, sizeof value);
#else
  (void)value;
#endif
}

}  // namespace velkor::core
