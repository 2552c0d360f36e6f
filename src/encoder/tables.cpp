// Table-like objects converted to plain data by their own methods.
#include "common/pyref.h"
#include "encoder/encoder.h"
#include "encoder/special_objects.h"

namespace quarl {
namespace {

// Calls obj.<method>(*args) when the object has that method. `converted`
// stays null when the method is missing; a failed test or call fails.
Status call_if_present(PyObject* obj, const char* method, PyObject* argument, PyRef& converted) {
  PyRef callable;
  bool found;
  if (!read_optional_attribute(obj, method, callable, found).ok()) return Status::failure();
  if (!found) return Status::success();
  converted = PyRef::steal(argument == nullptr ? PyObject_CallNoArgs(callable.get())
                                               : PyObject_CallFunctionObjArgs(callable.get(), argument, nullptr));
  return converted ? Status::success() : Status::failure();
}

Status convert_data_frame(PyObject* obj, PyRef& converted) {
  if (!call_if_present(obj, "to_dicts", nullptr, converted).ok()) return Status::failure();
  if (converted) return Status::success();
  PyRef records = PyRef::steal(PyUnicode_FromString("records"));
  if (!records) return Status::failure();
  return call_if_present(obj, "to_dict", records.get(), converted);
}

// A lazy frame is collected first; without collect() or a to_dicts() on the
// collected frame it is left to the later steps.
Status convert_lazy_frame(PyObject* obj, PyRef& converted) {
  PyRef collected;
  if (!call_if_present(obj, "collect", nullptr, collected).ok()) return Status::failure();
  if (!collected) return Status::success();
  return call_if_present(collected.get(), "to_dicts", nullptr, converted);
}

// The plain data of a table-like object; null (no error) when the type name
// is not a table's or the method it needs is missing.
Status convert_table(PyObject* obj, std::string_view type_name, PyRef& converted) {
  if (type_name == "DataFrame") return convert_data_frame(obj, converted);
  if (type_name == "LazyFrame") return convert_lazy_frame(obj, converted);
  if (type_name == "Series" || type_name == "Index") {
    return call_if_present(obj, "to_list", nullptr, converted);
  }
  if (type_name == "Table" || type_name == "RecordBatch") {
    return call_if_present(obj, "to_pylist", nullptr, converted);
  }
  return Status::success();
}

}  // namespace

// The converted data takes the object's depth; a conversion that keeps
// returning table-like objects goes one level deeper each further time, and
// so ends at the depth limit.
Step try_write_table(EncoderState& codec, PyObject* obj, std::string_view type_name) {
  PyRef converted;
  if (!convert_table(obj, type_name, converted).ok()) return Step::failed;
  if (!converted) return Step::not_matched;
  return step_from(write_replacement(codec, converted.get()));
}

}  // namespace quarl
