#include "heap_types.hpp"

#include <string>

namespace korvane {

Result<PyTypeObject*> obtain_type(TypeSlot& slot, TypeUse use) {
  PyTypeObject* type = slot.type.get([&] { return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(slot.definition)); });
  if (type != nullptr) return type;
  if (use == TypeUse::import) return take_pending();
  PyErr_Clear();
  return invariant_failure(std::string("type object ") + slot.definition->name + " could not be created");
}

Result<PyObject*> allocate_instance(PyTypeObject* type) {
  allocfunc alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  if (alloc == nullptr) alloc = PyType_GenericAlloc;
  PyObject* object = alloc(type, 0);
  if (object == nullptr) return take_pending();
  return object;
}

}  // namespace korvane
