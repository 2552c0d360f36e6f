// NumPy float64 arrays, written as one block of doubles.
//
// The array is read through the buffer protocol, so the module needs neither
// NumPy's headers nor its C-API capsule, and never imports NumPy: when NumPy
// is not in sys.modules, no object can be an ndarray.
#include <bit>
#include <span>
#include <string_view>
#include <utility>

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

// Row-major for a C-contiguous array, column-major for an F-contiguous one:
// the doubles are copied as they lie in memory.
// A large array is spliced into the result, keeping its export and with it
// a reference: NumPy then refuses to resize the array (unless told to skip
// that check, which the buffer protocol forbids while an export lives).
Status write_float_block(EncoderState& codec, BufferView&& exported) {
  const Py_buffer& view = exported.get();
  if (!PyBuffer_IsContiguous(&view, 'A')) {
    return raise(PyExc_TypeError, "The given array is not contiguous");
  }
  size_t bytes = static_cast<size_t>(view.len);
  size_t count = bytes / sizeof(double);
  if (!check_u32_length(count, "array").ok()) return Status::failure();
  DocumentBuffer& out = codec.payload_buffer;
  std::span<const uint8_t> doubles(static_cast<const uint8_t*>(view.buf), bytes);
  bool spliced = bytes >= SplicedBlocks::MIN_SIZE;
  out.reserve_extra(5 + (spliced ? 0 : bytes));
  out.push_unchecked(TAG_FLOAT_ARRAY);
  out.append_u32_unchecked(static_cast<uint32_t>(count));
  if (spliced) {
    codec.spliced.add_exported(out.size(), doubles, std::move(exported));
  } else if (bytes != 0) {
    out.append_unchecked(doubles.data(), bytes);
  }
  return Status::success();
}

}  // namespace

Step try_write_float_array(EncoderState& codec, PyObject* obj) {
  if (!is_ndarray(obj)) return Step::not_matched;
  BufferView view;
  if (!view.acquire(obj) || !is_native_float64(view.get())) return Step::not_matched;
  return step_from(write_float_block(codec, std::move(view)));
}

}  // namespace quarl
