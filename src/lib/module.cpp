// The module's entry point: PyInit__quarl, the only exported symbol.
#include <Python.h>

#include <new>
#include <string>

#include "common/object_layout.h"
#include "common/pyref.h"
#include "lib/inspect_functions.h"
#include "lib/types.h"

namespace quarl {
namespace {

constexpr const char* VERSION = "1.7.0";

// Which paths the codec takes where a shortcut reads or writes objects'
// memory: "direct", or "safe: " and why. Private: for benchmarks and test
// reports; it checks decimals too, which imports the decimal module.
PyObject* memory_paths(PyObject*, PyObject*) {
  try {
    ObjectLayout layout;
    WritableDecimal decimal;
    if (!ObjectLayout::verified(layout).ok() || !writable_decimal(layout, decimal).ok()) return nullptr;
    std::string text = describe_paths(layout, decimal);
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyMethodDef layout_functions[] = {
    {"_memory_paths", memory_paths, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_quarl", "", 0, inspect_functions, nullptr, nullptr, nullptr, nullptr,
};

// The module's type objects are process-wide, so a second module object in
// the same process is refused rather than sharing them half-way.
bool module_created = false;

bool add_exported(PyObject* module, PyObject* all, const char* name, PyRef value) {
  if (!value) return false;
  PyRef key = PyRef::steal(PyUnicode_FromString(name));
  if (!key || PyList_Append(all, key.get()) < 0) return false;
  return PyModule_AddObjectRef(module, name, value.get()) == 0;
}

PyObject* create_module() {
  PyRef module = PyRef::steal(PyModule_Create(&module_def));
  if (!module) return nullptr;
  PyRef all = PyRef::steal(PyObject_GetAttrString(module.get(), "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyModule_AddObjectRef(module.get(), "__all__", all.get()) < 0) return nullptr;
  }
  PyObject* m = module.get();
  PyObject* a = all.get();
  bool ok = add_exported(m, a, "__version__", PyRef::steal(PyUnicode_FromString(VERSION))) &&
            add_exported(m, a, "Quarl", PyRef::steal(quarl_type())) &&
            add_exported(m, a, "QuarlStreamDecoder", PyRef::steal(stream_decoder_type())) &&
            add_exported(m, a, "QuarlStreamEncoder", PyRef::steal(stream_encoder_type())) &&
            add_exported(m, a, "QuarlError", PyRef::borrow(PyExc_ValueError)) &&
            PyModule_AddFunctions(m, layout_functions) == 0;
  return ok ? module.release() : nullptr;
}

}  // namespace
}  // namespace quarl

PyMODINIT_FUNC PyInit__quarl() {
  if (quarl::module_created) {
    PyErr_SetString(PyExc_ImportError,
                    "_quarl may only be initialized once per interpreter process");
    return nullptr;
  }
  PyObject* module = quarl::create_module();
  if (module != nullptr) quarl::module_created = true;
  return module;
}
