#include "boundary/results.hpp"

#include "boundary/python_error.hpp"

namespace velkor::boundary {

OwnedRef make_bytes(std::span<const std::uint8_t> data) {
  return expect_object(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()),
                                                 static_cast<Py_ssize_t>(data.size())));
}

OwnedRef make_list(std::size_t size) {
  return expect_object(PyList_New(static_cast<Py_ssize_t>(size)));
}

void set_list_text(const OwnedRef& list, std::size_t position, std::string_view text) {
  OwnedRef item =
      expect_object(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  // Steals the item's reference; it cannot fail for a position inside a new list.
  PyList_SetItem(list.get(), static_cast<Py_ssize_t>(position), item.release());
}

}  // namespace velkor::boundary
