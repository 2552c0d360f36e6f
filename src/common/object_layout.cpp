#include "common/object_layout.h"

#include <cstdint>

#include "common/pyref.h"

namespace quarl {
namespace {

// The instance size a type declares, or -1; the fields are only ever read
// when the size shows they exist.
Py_ssize_t basic_size(PyTypeObject* type) {
  PyRef size = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__basicsize__"));
  Py_ssize_t value = size ? PyLong_AsSsize_t(size.get()) : -1;
  if (value == -1) PyErr_Clear();
  return value;
}

// A list made with two slots holds its item pointer and then its allocation
// count (2) behind the header; the item pointer is followed only once the
// count sits where it should.
bool list_layout_holds() {
  constexpr Py_ssize_t fields = sizeof(PyObject**) + sizeof(Py_ssize_t);
  if (basic_size(&PyList_Type) != static_cast<Py_ssize_t>(sizeof(PyVarObject)) + fields) return false;
  PyRef list = PyRef::steal(PyList_New(2));
  if (!list) return false;
  PyList_SetItem(list.get(), 0, PyRef::borrow(Py_None).release());
  PyList_SetItem(list.get(), 1, PyRef::borrow(Py_True).release());
  const char* base = reinterpret_cast<const char*>(list.get()) + sizeof(PyVarObject);
  Py_ssize_t allocated;
  std::memcpy(&allocated, base + sizeof(PyObject**), sizeof allocated);
  if (allocated != 2) return false;
  PyObject** items;
  std::memcpy(&items, base, sizeof items);
  return items != nullptr && items[0] == Py_None && items[1] == Py_True;
}

bool float_layout_holds() {
  if (basic_size(&PyFloat_Type) != static_cast<Py_ssize_t>(sizeof(PyObject) + sizeof(double))) return false;
  ObjectLayout direct;
  direct.float_value = true;
  for (double probe : {1.5, -0.0, 1e300, 5e-324}) {
    PyRef value = PyRef::steal(PyFloat_FromDouble(probe));
    if (!value) return false;
    double read = exact_float_value(direct, value.get());
    if (std::memcmp(&read, &probe, sizeof read) != 0) return false;
  }
  return true;
}

// The fixed part of a bytes object ends with its text's first byte (the
// closing NUL of an empty one), and every object's text starts there.
size_t measured_bytes_text_offset() {
  Py_ssize_t fixed = basic_size(&PyBytes_Type);
  PyRef item_size = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyBytes_Type), "__itemsize__"));
  if (fixed <= 1 || !item_size || PyLong_AsSsize_t(item_size.get()) != 1) return 0;
  size_t offset = static_cast<size_t>(fixed - 1);
  for (Py_ssize_t size : {64, 4096}) {
    PyRef bytes = PyRef::steal(PyBytes_FromStringAndSize(nullptr, size));
    if (!bytes) return 0;
    auto* text = reinterpret_cast<const char*>(PyBytes_AsString(bytes.get()));
    if (text != reinterpret_cast<const char*>(bytes.get()) + offset) return 0;
  }
  return offset;
}

}  // namespace

ObjectLayout ObjectLayout::verified() {
  ObjectLayout layout;
  layout.list_items = list_layout_holds();
  layout.float_value = float_layout_holds();
  layout.bytes_text_offset = measured_bytes_text_offset();
  PyErr_Clear();
  return layout;
}

}  // namespace quarl
