// The module's classes as heap types: each made once per process from its
// static definition, instances allocated through the type's allocation slot
// with their C++ fields constructed in place, and released again.
#pragma once

#include <memory>

#include "errors.hpp"
#include "once_per_process.hpp"

namespace korvane {

// A class's definition and, once made, its type object, which is then kept
// until the process ends.
struct TypeSlot {
  PyType_Spec* definition;
  OncePerProcess<PyTypeObject> type{};
};

// Who asks for a type: the module's import, whose failure is the import's own
// error, or a later call, after a successful import, when a failure is a state
// that cannot happen.
enum class TypeUse { import, call };

// The type of `slot`, made on first use.
Result<PyTypeObject*> obtain_type(TypeSlot& slot, TypeUse use);

// Allocates an instance through the type's allocation slot (the generic
// allocator when it has none); the caller constructs the fields in place.
Result<PyObject*> allocate_instance(PyTypeObject* type);

// The deallocation slot of a class without garbage-collector support:
// releases the fields constructed in place at creation, hands the memory back
// and drops the instance's reference to its heap type.
template <class Object>
void dealloc_instance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  std::destroy_at(reinterpret_cast<Object*>(self));
  type->tp_free(self);
  Py_DECREF(type);
}

}  // namespace korvane
