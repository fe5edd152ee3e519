// The extension's thin RAII layer over CPython's limited API: an owning
// reference, taking the interpreter lock from any thread (its release is
// GilRelease, in interpreter_exit.h), and the guard that keeps C++
// exceptions from unwinding into the interpreter. Reference counts are
// touched here and nowhere else.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <string_view>
#include <utility>

#ifdef __GLIBCXX__
#include <cxxabi.h>  // abi::__forced_unwind
#endif

namespace quellar::py {

// Owns one strong reference (or none). Every operation needs the interpreter
// lock, except moving, which only moves the pointer.
class Ref {
 public:
  Ref() noexcept = default;
  // Takes over a new reference (as returned by most API calls); null stays null.
  static Ref steal(PyObject* object) noexcept {
    Ref ref;
    ref.object_ = object;
    return ref;
  }
  // Adds a reference to a borrowed pointer.
  static Ref borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return steal(object);
  }

  Ref(const Ref& other) noexcept : object_(other.object_) { Py_XINCREF(object_); }
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  ~Ref() { Py_XDECREF(object_); }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  // Hands the reference to the caller (a function returning a new reference).
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  void reset() noexcept { Py_CLEAR(object_); }
  // Forgets the reference without releasing it. Only for a finalizing
  // interpreter, where decrementing would touch freed interpreter state.
  void abandon() noexcept { object_ = nullptr; }

 private:
  PyObject* object_ = nullptr;
};

// Holds the interpreter lock for a scope, from any thread (a runtime worker
// thread gets a temporary thread state).
class GilGuard {
 public:
  GilGuard() noexcept : state_(PyGILState_Ensure()) {}
  ~GilGuard() { PyGILState_Release(state_); }
  GilGuard(const GilGuard&) = delete;
  GilGuard& operator=(const GilGuard&) = delete;

 private:
  PyGILState_STATE state_;
};

// Runs `body` and turns any C++ exception (std::bad_alloc from a container,
// mostly) into the matching Python exception, returning `failure`. Every
// entry point called by the interpreter goes through this: an exception must
// never unwind through C frames of the interpreter. One unwinding passes:
// CPython's own end of a thread that takes the interpreter lock too late (a
// daemon thread at the interpreter's exit), which must reach the thread's
// start.
template <class Result, class Body>
Result guarded(Result failure, Body&& body) {
  try {
    return std::forward<Body>(body)();
#ifdef __GLIBCXX__
  } catch (abi::__forced_unwind&) {
    throw;
#endif
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_SystemError, error.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in quellar._native");
  }
  return failure;
}

// New str from UTF-8 bytes; null with an exception set on failure.
inline Ref text(std::string_view utf8) {
  return Ref::steal(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
}

inline Ref bytes(std::string_view data) {
  return Ref::steal(PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size())));
}

inline Ref boolean(bool value) { return Ref::borrow(value ? Py_True : Py_False); }

inline Ref none() { return Ref::borrow(Py_None); }

}  // namespace quellar::py
