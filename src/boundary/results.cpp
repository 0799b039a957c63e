#include "boundary/results.hpp"

#include "boundary/python_error.hpp"

namespace velkor::boundary {

OwnedRef make_bytes(std::span<const std::uint8_t> data) {
  return expect_object(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()),
                                                 static_cast<Py_ssize_t>(data.size())));
}

}  // namespace velkor::boundary
