#include "boundary/entry_guard.hpp"

#include <exception>
#include <new>

#include "boundary/forced_unwind.hpp"
#include "boundary/panic.hpp"
#include "boundary/python_error.hpp"
#include "core/internal_failure.hpp"

namespace velkor::boundary {

VELKOR_CATCHES_FORCED_UNWIND void raise_current_exception() {
  // Every branch ends with exactly one exception set. Anything thrown while handling (a
  // bad_alloc from building a message) is caught by the outer handler. The entry guard never
  // hands a forced unwind to this function; one out of the handling itself goes on.
  try {
    try {
      throw;
    } catch (ForcedUnwind&) {
      throw;
    } catch (PythonError& error) {
      error.raise();
    } catch (const core::InternalFailure& failure) {
      write_failure_report(failure.message(), failure.where());
      raise_panic(failure.message());
    } catch (const ResumedPanic& panic) {
      raise_panic(panic.message);
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
    } catch (const std::exception& other) {
      write_failure_report(other.what(), core::SourcePlace::current());
      raise_panic(other.what());
    } catch (...) {
      write_failure_report("unknown C++ exception", core::SourcePlace::current());
      raise_panic("unknown C++ exception");
    }
  } catch (ForcedUnwind&) {
    throw;
  } catch (...) {
    PyErr_NoMemory();
  }
}

}  // namespace velkor::boundary
