#include "errors.hpp"

#include "once_per_process.hpp"

namespace korvane {

namespace {

constexpr const char* kNoExceptionSet = "attempted to fetch exception but none was set";

PyObject* builtin_type(ErrorType type) {
  switch (type) {
    case ErrorType::type_error:
      return PyExc_TypeError;
    case ErrorType::value_error:
      return PyExc_ValueError;
    case ErrorType::lookup_error:
      return PyExc_LookupError;
    case ErrorType::runtime_error:
      return PyExc_RuntimeError;
    case ErrorType::system_error:
      return PyExc_SystemError;
    case ErrorType::import_error:
      return PyExc_ImportError;
  }
  return PyExc_SystemError;
}

// Raises `type` with the message as its only argument. A message may show a
// caller's text with lone surrogates (a keyword name), kept in its UTF-8 form
// with the surrogates as they are.
void raise_with_message(PyObject* type, const std::string& message) {
  PyRef text =
      PyRef::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "surrogatepass"));
  if (!text) return;  // the decoding failure (or MemoryError) is raised instead
  PyErr_SetObject(type, text.get());
}

// Adds the notes to the exception just raised. Should adding one fail, that
// failure is raised instead, as for a failure while building the exception.
void add_notes(const std::vector<std::string>& notes) {
  PyRef raised = PyRef::steal(PyErr_GetRaisedException());
  if (!raised) return;
  for (const std::string& note : notes) {
    PyRef text = PyRef::steal(PyUnicode_FromStringAndSize(note.data(), static_cast<Py_ssize_t>(note.size())));
    PyRef added = text ? PyRef::steal(PyObject_CallMethod(raised.get(), "add_note", "O", text.get())) : PyRef();
    if (!added) return;
  }
  PyErr_SetRaisedException(raised.release());
}

OncePerProcess<PyObject> g_invariant_type;

}  // namespace

Unexpected<Error> take_pending() {
  PyObject* raised = PyErr_GetRaisedException();
  if (raised == nullptr) return module_error(ErrorType::system_error, kNoExceptionSet);
  return {Error(PendingException{PyRef::steal(raised)})};
}

PyObject* invariant_failure_type() {
  // Kept for the life of the process, like the module's other types.
  return g_invariant_type.get([] {
    return PyErr_NewExceptionWithDoc("korvane.InvariantFailure",
                                     "A state that validated data cannot reach; reports a defect of the module.",
                                     PyExc_BaseException, nullptr);
  });
}

void raise_error(Error&& error) {
  if (auto* pending = std::get_if<PendingException>(&error)) {
    PyErr_SetRaisedException(pending->exception.release());
  } else if (auto* failure = std::get_if<ModuleError>(&error)) {
    raise_with_message(builtin_type(failure->type), failure->message);
    if (!failure->notes.empty()) add_notes(failure->notes);
  } else {
    auto& invariant = std::get<InvariantFailure>(error);
    PyObject* type = invariant_failure_type();
    if (type == nullptr) return;  // creating the type failed; that error stands
    raise_with_message(type, invariant.description);
  }
}

PyRef exception_of(Error&& error) {
  raise_error(std::move(error));
  return PyRef::steal(PyErr_GetRaisedException());
}

}  // namespace korvane
