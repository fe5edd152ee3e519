// A heap type's instance that holds one C++ value: the object is allocated by
// the type's tp_alloc, the value is constructed in place after the header and
// destroyed by the type's tp_dealloc.
//
// A class whose value holds Python references takes part in garbage
// collection, as xxlimited.c does: Py_TPFLAGS_HAVE_GC, tp_traverse visiting
// its type and every reference (the value's traverse()), tp_clear dropping
// them (the value's clear()), and a dealloc that untracks the object before
// releasing anything. Without that, a cycle through such an object (an
// exception whose traceback holds the frame that holds the object) is never
// freed. Classes whose values hold no Python reference need none of it.
#pragma once

#include "ref.h"

#include <new>
#include <type_traits>
#include <utility>

namespace quellar::py {

template <class T>
struct Boxed {
  PyObject_HEAD
  T value;
};

template <class T>
T& unbox(PyObject* object) {
  return reinterpret_cast<Boxed<T>*>(object)->value;
}

// A new instance of `type` holding `value`; null with an exception set. An
// instance of a garbage-collected class comes back tracked.
template <class T>
Ref box(PyTypeObject* type, T value) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  Ref object = Ref::steal(alloc(type, 0));
  if (!object) return object;
  // Moving a record cannot throw, so the object is never left half-built.
  static_assert(std::is_nothrow_move_constructible_v<T>);
  new (&reinterpret_cast<Boxed<T>*>(object.get())->value) T(std::move(value));
  return object;
}

inline void free_instance(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free(object);
  // Instances of heap types own a reference to their type.
  Py_DECREF(type);
}

// For classes whose values hold no Python reference.
template <class T>
void boxed_dealloc(PyObject* object) {
  unbox<T>(object).~T();
  free_instance(object);
}

// For garbage-collected classes: T has `int traverse(visitproc, void*)` and
// `void clear()`.
template <class T>
void boxed_gc_dealloc(PyObject* object) {
  PyObject_GC_UnTrack(object);
  unbox<T>(object).~T();
  free_instance(object);
}

template <class T>
int boxed_traverse(PyObject* object, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(object));
  return unbox<T>(object).traverse(visit, arg);
}

template <class T>
int boxed_clear(PyObject* object) {
  unbox<T>(object).clear();
  return 0;
}

}  // namespace quellar::py
