// A value made once per process, on first use, and kept until the process
// ends: the module object, its types, the interned sink method names; and
// the one interpreter such values belong to.
//
// A caller that finds the value made pays one atomic load. Otherwise it takes
// the lock, and the first to hold it makes the value while the others wait.
// The lock is a PyMutex: a thread waiting for it lets go of the interpreter,
// so the making may run Python code (creating a type, an import) without a
// deadlock, and it needs no constructor or destructor of its own. A making
// that fails keeps nothing, and the next call tries again.
#pragma once

#include <atomic>
#include <string>
#include <type_traits>

#include "errors.hpp"

namespace korvane {

template <class T>
class OncePerProcess {
 public:
  // The kept value, or the one `make` makes now. `make` returns either a T*,
  // null when it failed with the exception set, or a Result<T*>; get returns
  // the same.
  template <class Make>
  std::invoke_result_t<Make&> get(Make&& make) {
    using Made = std::invoke_result_t<Make&>;
    if (T* value = value_.load(std::memory_order_acquire)) return Made(value);
    PyMutex_Lock(&lock_);
    T* value = value_.load(std::memory_order_acquire);
    Made made = value != nullptr ? Made(value) : make();
    if (value == nullptr) {
      if (T* first = kept(made)) value_.store(first, std::memory_order_release);
    }
    PyMutex_Unlock(&lock_);
    return made;
  }

 private:
  static T* kept(T* made) { return made; }
  static T* kept(const Result<T*>& made) { return made ? *made : nullptr; }

  std::atomic<T*> value_{nullptr};
  PyMutex lock_{};
};

// The interpreter a module's values made once per process belong to: the
// first to import it. An import from any other fails with ImportError.
class FirstInterpreter {
 public:
  Result<Ok> claim(const char* module_name) {
    const long long id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return take_pending();
    long long expected = -1;
    if (!first_.compare_exchange_strong(expected, id) && expected != id) {
      return module_error(ErrorType::import_error,
                          std::string("module ") + module_name + " does not support sub-interpreters");
    }
    return Ok{};
  }

 private:
  std::atomic<long long> first_{-1};
};

}  // namespace korvane
