// A heap type's instance that holds one C++ value: the object is allocated by
// the type's tp_alloc, the value is constructed in place after the header and
// destroyed by the type's tp_dealloc. The classes of this module hold no
// Python references, so none of them needs the garbage collector.
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

// A new instance of `type` holding `value`; null with an exception set.
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

template <class T>
void boxed_dealloc(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  unbox<T>(object).~T();
  auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free(object);
  // Instances of heap types own a reference to their type.
  Py_DECREF(type);
}

}  // namespace quellar::py
