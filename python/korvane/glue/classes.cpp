#include "classes.hpp"

#include <array>
#include <memory>
#include <new>
#include <string_view>
#include <utility>

#include "call_binding.hpp"
#include "discovery.hpp"
#include "file_recorder.hpp"
#include "py_str.hpp"
#include "runs.hpp"

namespace korvane {

namespace {

// ---------------------------------------------------------------------------
// Argument descriptions

constexpr std::string_view kPrepareParameters[] = {"machine_id",     "artifact",           "configuration",
                                                   "input_schedule", "execution_controls", "observation"};
constexpr ArgumentSignature kPrepareSignature{"Runtime", "prepare", kPrepareParameters, 2};

constexpr std::string_view kExecuteParameters[] = {"sinks", "file_recorder"};
constexpr ArgumentSignature kExecuteSignature{"PreparedRun", "execute", kExecuteParameters, 0};

// ---------------------------------------------------------------------------
// The `self` check: a second line behind the interpreter's method descriptors.

template <class Object>
Result<const Object*> checked_self(PyObject* self, Result<PyTypeObject*> (*type_of)(TypeUse), const char* class_name) {
  auto type = type_of(TypeUse::call);
  if (!type) return unexpected(std::move(type).error());
  if (!PyObject_TypeCheck(self, *type)) {
    auto message = cast_message(self, class_name);
    if (!message) return unexpected(std::move(message).error());
    return module_error(ErrorType::type_error, std::move(*message));
  }
  return reinterpret_cast<const Object*>(self);
}

// ---------------------------------------------------------------------------
// Runtime

PyObject* runtime_discover(PyObject*, PyObject*) {
  return run_entry_point([]() -> Result<PyRef> {
    auto providers = discover_providers();
    if (!providers) return unexpected(std::move(providers).error());
    return new_runtime(std::move(*providers));
  });
}

PyObject* runtime_bundles(PyObject* self, PyObject*) {
  return run_entry_point([self]() -> Result<PyRef> {
    auto runtime = checked_self<RuntimeObject>(self, runtime_type, "Runtime");
    if (!runtime) return unexpected(std::move(runtime).error());
    return bundle_listing((*runtime)->providers);
  });
}

PyObject* runtime_prepare(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_entry_point([=]() -> Result<PyRef> {
    std::array<PyObject*, 6> bound{};
    if (auto ok = bind_fastcall(kPrepareSignature, args, nargs, kwnames, bound); !ok)
      return unexpected(std::move(ok).error());
    auto runtime = checked_self<RuntimeObject>(self, runtime_type, "Runtime");
    if (!runtime) return unexpected(std::move(runtime).error());

    auto machine_id = str_argument(bound[0], "machine_id");
    if (!machine_id) return unexpected(std::move(machine_id).error());
    if (!PyBytes_Check(bound[1])) {
      auto message = cast_message(bound[1], "bytes");
      if (!message) return unexpected(std::move(message).error());
      return module_error(ErrorType::type_error, argument_cast_message("artifact", *message));
    }
    std::string_view artifact(PyBytes_AS_STRING(bound[1]), static_cast<std::size_t>(PyBytes_GET_SIZE(bound[1])));
    OptionalInputs inputs{none_as_absent(bound[2]), none_as_absent(bound[3]), none_as_absent(bound[4]),
                          none_as_absent(bound[5])};

    auto prepared = prepare_run((*runtime)->providers, *machine_id, artifact, inputs);
    if (!prepared) return unexpected(std::move(prepared).error());
    return new_prepared_run(std::move(prepared->provider), std::move(prepared->prepared));
  });
}

PyMethodDef runtime_methods[] = {
    {"discover", runtime_discover, METH_NOARGS | METH_STATIC, "discover()\n--\n\n"},
    {"bundles", runtime_bundles, METH_NOARGS, "bundles($self)\n--\n\n"},
    {"prepare", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(runtime_prepare)),
     METH_FASTCALL | METH_KEYWORDS,
     "prepare($self, machine_id, artifact, configuration=None, input_schedule=None, execution_controls=None, "
     "observation=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot runtime_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<RuntimeObject>)},
    {Py_tp_methods, runtime_methods},
    {0, nullptr},
};

// Beyond the protocol, korvane hardens its three classes in three ways, each
// visible to Python:
//  - All three are immutable types (Py_TPFLAGS_IMMUTABLETYPE): setting or
//    deleting a class attribute (korvane.Runtime.prepare = ...) raises
//    TypeError. The classes are shared by every caller in the process, so
//    one library patching a method would reroute every other caller's runs.
//  - PreparedRun takes part in cyclic garbage collection (see below).
//  - The sink check lets exceptions outside Exception (KeyboardInterrupt,
//    SystemExit) pass instead of reporting a missing method (runs.cpp).
PyType_Spec runtime_definition = {
    "builtins.Runtime",
    static_cast<int>(sizeof(RuntimeObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    runtime_slots,
};

TypeSlot g_runtime_type{&runtime_definition};

// ---------------------------------------------------------------------------
// PreparedRun

PyObject* prepared_run_execute(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_entry_point([=]() -> Result<PyRef> {
    std::array<PyObject*, 2> bound{};
    if (auto ok = bind_fastcall(kExecuteSignature, args, nargs, kwnames, bound); !ok)
      return unexpected(std::move(ok).error());
    auto run = checked_self<PreparedRunObject>(self, prepared_run_type, "PreparedRun");
    if (!run) return unexpected(std::move(run).error());
    // Only the collector empties `prepared`, on a run it found unreachable;
    // code that still reaches such a run gets an error, never a null object.
    if (!(*run)->prepared) return invariant_failure("PreparedRun was cleared by the garbage collector");
    return execute_run((*run)->provider, (*run)->prepared.get(), none_as_absent(bound[0]), none_as_absent(bound[1]));
  });
}

PyMethodDef prepared_run_methods[] = {
    {"execute", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(prepared_run_execute)),
     METH_FASTCALL | METH_KEYWORDS, "execute($self, sinks=None, file_recorder=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// A PreparedRun holds an arbitrary object from the bundle, which may lead back
// to the run (a sink that keeps its run, prepared state that keeps the sinks)
// or be another PreparedRun (a bundle that wraps another machine). So the
// class takes part in cyclic garbage collection, and its deallocation goes
// through the interpreter's trashcan so that a long chain of runs is freed
// iteratively instead of by one nested call per link.
int prepared_run_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(reinterpret_cast<PreparedRunObject*>(self)->prepared.get());
  return 0;
}

int prepared_run_clear(PyObject* self) {
  // Moved out before it is released, so the field is already empty when the
  // release runs arbitrary code.
  PyRef released = std::move(reinterpret_cast<PreparedRunObject*>(self)->prepared);
  return 0;
}

void prepared_run_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  Py_TRASHCAN_BEGIN(self, prepared_run_dealloc) PyTypeObject* type = Py_TYPE(self);
  std::destroy_at(reinterpret_cast<PreparedRunObject*>(self));
  type->tp_free(self);
  Py_DECREF(type);
  Py_TRASHCAN_END
}

PyType_Slot prepared_run_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(prepared_run_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(prepared_run_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(prepared_run_clear)},
    {Py_tp_methods, prepared_run_methods},
    {0, nullptr},
};

PyType_Spec prepared_run_definition = {
    "builtins.PreparedRun",
    static_cast<int>(sizeof(PreparedRunObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC,
    prepared_run_slots,
};

TypeSlot g_prepared_run_type{&prepared_run_definition};

}  // namespace

// ---------------------------------------------------------------------------
// Shared with the other units

Result<PyTypeObject*> runtime_type(TypeUse use) { return obtain_type(g_runtime_type, use); }
Result<PyTypeObject*> prepared_run_type(TypeUse use) { return obtain_type(g_prepared_run_type, use); }

Result<PyRef> new_runtime(std::vector<BundleProvider>&& providers) {
  auto type = runtime_type();
  if (!type) return unexpected(std::move(type).error());
  auto object = allocate_instance(*type);
  if (!object) return unexpected(std::move(object).error());
  new (&reinterpret_cast<RuntimeObject*>(*object)->providers) std::vector<BundleProvider>(std::move(providers));
  return PyRef::steal(*object);
}

Result<PyRef> new_prepared_run(BundleProvider&& provider, PyRef&& prepared) {
  auto type = prepared_run_type();
  if (!type) return unexpected(std::move(type).error());
  auto object = allocate_instance(*type);
  if (!object) return unexpected(std::move(object).error());  // `prepared` is released by its owner
  auto* run = reinterpret_cast<PreparedRunObject*>(*object);
  new (&run->prepared) PyRef(std::move(prepared));
  new (&run->provider) BundleProvider(std::move(provider));
  return PyRef::steal(*object);
}

}  // namespace korvane
