// The Python object layout shared by the three classes, and the helpers that
// create, guard and destroy it.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <type_traits>
#include <utility>

#include "common/pyref.h"
#include "common/status.h"
#include "lib/use_marker.h"

namespace quarl {

// The native value lives inline, followed by the use marker.
template <typename Native>
struct Instance {
  PyObject_HEAD
  Native native;
  UseMarker marker;
};

template <typename Native>
Native& native_of(PyObject* self) noexcept {
  return reinterpret_cast<Instance<Native>*>(self)->native;
}

// Runs `body` and turns exhausted memory inside it into MemoryError (and any
// other standard-library exception into SystemError), so no C++ exception
// ever crosses into the interpreter.
template <typename Body>
auto guard_allocation(Body&& body) noexcept -> decltype(body()) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_SystemError, e.what());
  }
  return {};
}

// Allocates an instance of `type` and builds its native value in place from
// `args`.
template <typename Native, typename... Args>
PyObject* new_instance(PyTypeObject* type, Args&&... args) {
  if constexpr (!std::is_nothrow_constructible_v<Native, Args...>) {
    // Built first, so that a constructor that throws leaves no instance
    // behind whose native value would be destroyed unbuilt.
    return new_instance<Native>(type, Native(std::forward<Args>(args)...));
  }
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  if (alloc == nullptr) alloc = PyType_GenericAlloc;
  PyRef self = PyRef::steal(alloc(type, 0));
  if (!self) return nullptr;
  auto* instance = reinterpret_cast<Instance<Native>*>(self.get());
  new (&instance->native) Native(std::forward<Args>(args)...);
  new (&instance->marker) UseMarker();
  return self.release();
}

// True when a constructor that takes no arguments was given none, which
// spares the argument parser on the common call.
inline bool no_arguments(PyObject* args, PyObject* kwargs) noexcept {
  return Py_SIZE(args) == 0 && (kwargs == nullptr || PyDict_Size(kwargs) == 0);
}

template <typename Native>
void dealloc_instance(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  if (PyType_GetFlags(type) & Py_TPFLAGS_HAVE_GC) PyObject_GC_UnTrack(self);
  native_of<Native>(self).~Native();
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

// Runs a method body with the instance held exclusively.
template <typename Native, typename Body>
PyObject* with_exclusive(PyObject* self, Body&& body) noexcept {
  auto* instance = reinterpret_cast<Instance<Native>*>(self);
  ExclusiveUse use(instance->marker);
  if (!use.held()) return nullptr;
  return guard_allocation([&]() -> PyObject* { return body(instance->native); });
}

// Runs a property getter with the instance held shared.
template <typename Native, typename Body>
PyObject* with_shared(PyObject* self, Body&& body) noexcept {
  auto* instance = reinterpret_cast<Instance<Native>*>(self);
  SharedUse use(instance->marker);
  if (!use.held()) return nullptr;
  return guard_allocation([&]() -> PyObject* { return body(instance->native); });
}

}  // namespace quarl
