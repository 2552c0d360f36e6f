// NumPy float64 arrays, written as one block of doubles.
//
// The array is read through the buffer protocol, so the module needs neither
// NumPy's headers nor its C-API capsule, and never imports NumPy: when NumPy
// is not in sys.modules, no object can be an ndarray.
#include <bit>
#include <string_view>

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
  if (!ndarray || !PyType_Check(ndarray.get())) {
    PyErr_Clear();
    return PyRef();
  }
  return ndarray;
}

bool is_ndarray(PyObject* obj) {
  PyRef ndarray = imported_ndarray_type();
  return ndarray && PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(ndarray.get()));
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

// Owns an exported buffer for as long as the array is being written.
class BufferView {
 public:
  BufferView() noexcept = default;
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  ~BufferView() {
    if (acquired_) PyBuffer_Release(&view_);
  }
  // Exports `obj` with shape, strides and format; false (no error set) when
  // it cannot export such a buffer.
  bool acquire(PyObject* obj) {
    acquired_ = PyObject_GetBuffer(obj, &view_, PyBUF_STRIDES | PyBUF_FORMAT) == 0;
    if (!acquired_) PyErr_Clear();
    return acquired_;
  }
  const Py_buffer& get() const noexcept { return view_; }

 private:
  Py_buffer view_{};
  bool acquired_ = false;
};

// Row-major for a C-contiguous array, column-major for an F-contiguous one:
// the doubles are copied as they lie in memory.
Status write_float_block(Codec& codec, const Py_buffer& view) {
  if (!PyBuffer_IsContiguous(&view, 'A')) {
    return raise(PyExc_TypeError, "The given array is not contiguous");
  }
  size_t bytes = static_cast<size_t>(view.len);
  size_t count = bytes / sizeof(double);
  if (!check_u32_length(count, "array").ok()) return Status::failure();
  ByteBuffer& out = codec.payload_buffer;
  out.reserve_extra(5 + bytes);
  out.push_unchecked(TAG_FLOAT_ARRAY);
  out.append_u32_unchecked(static_cast<uint32_t>(count));
  if (bytes != 0) out.append_unchecked(view.buf, bytes);
  return Status::success();
}

}  // namespace

Step try_write_float_array(Codec& codec, PyObject* obj) {
  if (!is_ndarray(obj)) return Step::not_matched;
  BufferView view;
  if (!view.acquire(obj) || !is_native_float64(view.get())) return Step::not_matched;
  return step_from(write_float_block(codec, view.get()));
}

}  // namespace quarl
