// Direct reads of list items and float values.
//
// The limited API reaches a list's items and a float's value only through
// function calls, and on numeric data those calls cost more than the rest of
// the walk. The memory layouts of exact lists and floats have been the same
// in every Python 3 release; a codec checks them against the API when it is
// created and reads the fields directly only when every check agrees, so an
// interpreter with another layout simply keeps the API calls.
#pragma once

#include <Python.h>

#include <cstring>

namespace quarl {

struct ObjectLayout {
  bool list_items = false;   // a list's item array follows its header
  bool float_value = false;  // a float's double follows its header
  // Where a bytes object's text begins, counted from the object; 0 when the
  // layout is not the expected one.
  size_t bytes_text_offset = 0;

  // Checks this interpreter's layouts; leaves no error set.
  static ObjectLayout verified();
};

namespace object_layout_detail {
inline PyObject** list_item_array(PyObject* list) noexcept {
  PyObject** items;
  std::memcpy(&items, reinterpret_cast<const char*>(list) + sizeof(PyVarObject), sizeof items);
  return items;
}
}  // namespace object_layout_detail

// Item `i` of a list (borrowed), or null with no error set when the list has
// fewer items by now. Subclasses share the list's layout.
inline PyObject* list_item_at(const ObjectLayout& layout, PyObject* list, Py_ssize_t i) noexcept {
  if (layout.list_items) {
    if (i >= Py_SIZE(list)) return nullptr;
    return object_layout_detail::list_item_array(list)[i];
  }
  PyObject* item = PyList_GetItem(list, i);
  if (item == nullptr) PyErr_Clear();
  return item;
}

// Fills slot `i` of a list just made by PyList_New, whose slots are all
// empty; the list takes over the reference to `item`.
inline void fill_new_list_slot(const ObjectLayout& layout, PyObject* list, Py_ssize_t i, PyObject* item) noexcept {
  if (layout.list_items) {
    object_layout_detail::list_item_array(list)[i] = item;
    return;
  }
  PyList_SetItem(list, i, item);  // cannot fail: a list, an index in range
}

// The value of an exact float.
inline double exact_float_value(const ObjectLayout& layout, PyObject* obj) noexcept {
  if (layout.float_value) {
    double value;
    std::memcpy(&value, reinterpret_cast<const char*>(obj) + sizeof(PyObject), sizeof value);
    return value;
  }
  return PyFloat_AsDouble(obj);
}

}  // namespace quarl
