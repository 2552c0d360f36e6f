// Dates, times, datetimes, UUIDs and decimals travel as text and are rebuilt
// by the standard-library callables that parse that text.
#include <array>

#include "common/utf8.h"
#include "decoder/parser.h"
#include "format/tags.h"

namespace quarl {
namespace {

struct SpecialType {
  const char* module;
  const char* attribute;
  const char* method;   // called on the attribute; NULL when the attribute is the callable
  const char* context;  // names the text in UTF-8 errors
};

// Indexed by tag - TAG_DATETIME.
constexpr std::array<SpecialType, 5> SPECIAL_TYPES = {{
    {"datetime", "datetime", "fromisoformat", "datetime string"},
    {"datetime", "date", "fromisoformat", "date string"},
    {"datetime", "time", "fromisoformat", "time string"},
    {"uuid", "UUID", nullptr, "UUID string"},
    {"decimal", "Decimal", nullptr, "Decimal string"},
}};
static_assert(TAG_DATE == TAG_DATETIME + 1 && TAG_TIME == TAG_DATETIME + 2 &&
              TAG_UUID == TAG_DATETIME + 3 && TAG_DECIMAL == TAG_DATETIME + 4);

PyRef look_up(const SpecialType& type) {
  PyRef module = PyRef::steal(PyImport_ImportModule(type.module));
  if (!module) return module;
  PyRef callable = PyRef::steal(PyObject_GetAttrString(module.get(), type.attribute));
  if (!callable || type.method == nullptr) return callable;
  return PyRef::steal(PyObject_GetAttrString(callable.get(), type.method));
}

}  // namespace

// The callable is fetched once per parser, however many values need it.
PyObject* QuarlParser::special_callable(size_t kind) {
  static_assert(SPECIAL_TYPES.size() == SPECIAL_TYPE_COUNT);
  PyRef& cached = special_callables_[kind];
  if (!cached) cached = look_up(SPECIAL_TYPES[kind]);
  return cached.get();
}

PyObject* QuarlParser::rebuild_special(uint8_t tag, const uint8_t* text, uint32_t length) {
  size_t kind = tag - TAG_DATETIME;
  // The text is checked before anything is imported.
  Utf8Error error;
  if (!validate_utf8(text, length, error)) {
    static_cast<void>(raise_invalid_utf8(SPECIAL_TYPES[kind].context, error));
    return nullptr;
  }
  // Imports, attribute lookups and the call itself run Python code.
  CollectorPause::Resumed resumed(collector_pause_);
  PyObject* callable = special_callable(kind);
  if (callable == nullptr) return nullptr;
  PyRef str = PyRef::steal(PyUnicode_FromStringAndSize(reinterpret_cast<const char*>(text), length));
  if (!str) return nullptr;
  return PyObject_CallFunctionObjArgs(callable, str.get(), nullptr);
}

}  // namespace quarl
