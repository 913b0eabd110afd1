// How a failure travels inside the module until the entry point raises it.
//
// A pending exception is one the interpreter raised during a call the module
// made; it is re-raised as the very same object. A module error is one of the
// built-in exception types with a message, turned into an exception object
// only at the boundary. An invariant failure is a state validated data cannot
// reach; it is raised as an instance of a private BaseException subclass.
#pragma once

#include <string>
#include <variant>
#include <vector>

#include "expected.hpp"
#include "py_ref.hpp"

namespace korvane {

enum class ErrorType { type_error, value_error, lookup_error, runtime_error, system_error, import_error };

struct ModuleError {
  ErrorType type;
  std::string message;
  // Added to the raised exception with add_note (PEP 678): context for a
  // reader, beyond the message, which stays as it is.
  std::vector<std::string> notes = {};
};

struct PendingException {
  PyRef exception;
};

struct InvariantFailure {
  std::string description;
};

using Error = std::variant<ModuleError, PendingException, InvariantFailure>;

template <class T>
using Result = Expected<T, Error>;

inline Unexpected<Error> module_error(ErrorType type, std::string message) {
  return {Error(ModuleError{type, std::move(message)})};
}

// The error with `note` added, when it is one of the module's own; a pending
// exception passes through untouched.
inline Unexpected<Error> with_note(Unexpected<Error>&& failure, std::string note) {
  if (auto* own = std::get_if<ModuleError>(&failure.error)) own->notes.push_back(std::move(note));
  return std::move(failure);
}

inline Unexpected<Error> invariant_failure(std::string description) {
  return {Error(InvariantFailure{std::move(description)})};
}

// After an interpreter call reported failure: takes the raised exception out
// of the interpreter, or, when none is set, the SystemError the module uses
// for a failure without an exception.
Unexpected<Error> take_pending();

// Hands the error to the interpreter as the raised exception. Used only at the
// boundary of an entry point, which then returns null.
void raise_error(Error&& error);

// The exception object raise_error would raise for `error`, not raised: for
// readers that report the error beside other findings.
PyRef exception_of(Error&& error);

// The private exception type for invariant failures, created once per process.
PyObject* invariant_failure_type();

}  // namespace korvane

#include <exception>
#include <new>

namespace korvane {

// Runs the body of an entry point and turns its outcome into what the calling
// convention expects: a new reference, or null with the error raised. No C++
// exception crosses into the interpreter.
template <class Body>
PyObject* run_entry_point(Body&& body) noexcept {
  try {
    Result<PyRef> outcome = body();
    if (outcome) return std::move(outcome).value().release();
    raise_error(std::move(outcome).error());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& failure) {
    raise_error(Error(InvariantFailure{failure.what()}));
  }
  return nullptr;
}

}  // namespace korvane
