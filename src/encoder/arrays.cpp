// NumPy arrays: float64 ones as one block of doubles, others as tolist().
//
// The array is read through the buffer protocol, so the module needs neither
// NumPy's headers nor its C-API capsule, and never imports NumPy: when NumPy
// is not in sys.modules, no object can be an ndarray.
#include <bit>
#include <span>
#include <string_view>

#include "common/buffer_view.h"
#include "common/pyref.h"
#include "encoder/special_objects.h"
#include "encoder/writers.h"

namespace quarl {
namespace {

// The ndarray type of an already imported NumPy, or null (no error set).
PyRef imported_ndarray_type() {
  PyObject* numpy = PyDict_GetItemString(PyImport_GetModuleDict(), "numpy");
  if (numpy == nullptr || numpy == Py_None) return PyRef();
  PyRef ndarray = PyRef::steal(PyObject_GetAttrString(numpy, "ndarray"));
  if (!ndarray && PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_Clear();
  if (ndarray && !PyType_Check(ndarray.get())) ndarray.reset();
  return ndarray;
}

Status is_ndarray(PyObject* obj, bool& ndarray) {
  PyRef type = imported_ndarray_type();
  if (!type && PyErr_Occurred()) return Status::failure();
  ndarray = type && PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(type.get()));
  return Status::success();
}

// The buffer format of a float64 in the host's byte order, with or without
// an explicit byte-order prefix.
bool is_native_float64(const Py_buffer& view) {
  if (view.itemsize != sizeof(double) || view.format == nullptr) return false;
  std::string_view format(view.format);
  if (format == "d" || format == "@d" || format == "=d") return true;
  if constexpr (std::endian::native == std::endian::little) return format == "<d";
  return format == ">d";
}

// Row-major for a C-contiguous array, column-major for an F-contiguous one:
// the doubles are copied as they lie in memory, when the walk meets the
// array, so that Python code run later in the encode (which may write to
// the array or resize it) cannot change what the document holds.
Status write_float_block(EncoderState& codec, const Py_buffer& view) {
  if (!PyBuffer_IsContiguous(&view, 'A')) {
    return raise(PyExc_TypeError, "The given array is not contiguous");
  }
  size_t bytes = static_cast<size_t>(view.len);
  size_t count = bytes / sizeof(double);
  if (!check_u32_length(count, "array").ok()) return Status::failure();
  DocumentBuffer& out = codec.payload_buffer;
  out.reserve_extra(5 + bytes);
  out.push_unchecked(TAG_FLOAT_ARRAY);
  out.append_u32_unchecked(static_cast<uint32_t>(count));
  if (bytes != 0) out.append_unchecked(static_cast<const uint8_t*>(view.buf), bytes);
  return Status::success();
}

// Exports the array's buffer; an array that cannot export one with strides
// and a format (BufferError, or the TypeError and ValueError NumPy raises
// for such requests) is not a float64 block.
Step export_buffer(PyObject* obj, BufferView& view) {
  if (view.acquire(obj)) return Step::written;
  if (!PyErr_ExceptionMatches(PyExc_BufferError) && !PyErr_ExceptionMatches(PyExc_TypeError) &&
      !PyErr_ExceptionMatches(PyExc_ValueError)) {
    return Step::failed;
  }
  PyErr_Clear();
  return Step::not_matched;
}

}  // namespace

Step try_write_float_array(EncoderState& codec, PyObject* obj) {
  bool ndarray;
  if (!is_ndarray(obj, ndarray).ok()) return Step::failed;
  if (!ndarray) return Step::not_matched;
  BufferView view;
  Step exported = export_buffer(obj, view);
  if (exported == Step::failed) return Step::failed;
  if (exported == Step::written && is_native_float64(view.get())) return step_from(write_float_block(codec, view.get()));
  // Every other array (other dtypes, other byte orders, record and object
  // arrays) is written as its tolist() value, in its place.
  PyRef values = PyRef::steal(PyObject_CallMethod(obj, "tolist", nullptr));
  if (!values) return Step::failed;
  return step_from(write_replacement(codec, values.get()));
}

}  // namespace quarl
