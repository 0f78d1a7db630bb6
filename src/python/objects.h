// Layout of the module's Python objects: header, engine value, borrow flag.
#pragma once

#include <Python.h>

#include <new>
#include <utility>

#include "engine/codec.h"
#include "engine/processor.h"
#include "python/frame.h"
#include "python/ref.h"

namespace kwsieve::py {

struct ProcessorObject {
  PyObject_HEAD
  KeywordProcessor value;
  Py_ssize_t borrow;  // 0 free, n > 0 shared borrows, -1 exclusive
};

struct MatchObject {
  PyObject_HEAD
  MatchValue value;
  Py_ssize_t borrow;
};

// Type objects, created on first need and kept for the life of the process.
PyTypeObject* processor_type();
PyTypeObject* match_type();

// Creates the type from its spec pieces; shared by both classes.
PyTypeObject* make_type(const char* qualified_name, const char* class_name,
                        const char* text_signature, std::string* doc_cell, PyType_Slot* slots,
                        int basicsize);

// Allocates an object of `type` and moves `value` into it.
template <class Object, class Value>
Ref create_object(PyTypeObject* type, Value&& value) {
  allocfunc alloc = type->tp_alloc ? type->tp_alloc : PyType_GenericAlloc;
  PyObject* raw = alloc(type, 0);
  if (raw == nullptr) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "object allocation failed without an exception set");
    throw_error_set();
  }
  auto* obj = reinterpret_cast<Object*>(raw);
  new (&obj->value) std::remove_cvref_t<Value>(std::forward<Value>(value));
  obj->borrow = 0;
  return Ref::steal(raw);
}

// Destroys the engine value, frees the object and drops the type reference that every
// instance of a heap type holds: free first, then Py_DECREF the type.
template <class Object, class Value>
void destroy_object(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  try {
    reinterpret_cast<Object*>(self)->value.~Value();
  } catch (...) {
    set_error_from_current_exception();
    PyErr_WriteUnraisable(self);
  }
  freefunc free = type->tp_free ? type->tp_free : PyObject_Free;
  free(self);
  Py_DECREF(type);
}

Ref new_match(MatchValue&& value);

// A call on an object of one of the classes: the receiver check, then its borrow for the
// whole call.
template <class Object>
class Call {
 public:
  Call(PyObject* self, PyTypeObject* type, const char* cls, Borrow::Kind kind)
      : self_(self), borrow_((check_receiver(self, type, cls), self), as_object(self)->borrow, kind) {}
  auto& value() { return as_object(self_)->value; }

 private:
  static Object* as_object(PyObject* o) { return reinterpret_cast<Object*>(o); }
  PyObject* self_;
  Borrow borrow_;
};

// The frame of every fast-call method: match the arguments, check the receiver and borrow
// it for the whole call, then run body(value, arguments) with a lone surrogate in a text
// argument first among its failures (Arguments::texts_first); all inside the guard.
template <class Object, class Body>
PyObject* fast_method(const Signature& sig, PyTypeObject* type, Borrow::Kind kind, PyObject* self,
                      PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Body&& body) {
  return guard([&]() -> PyObject* {
    Arguments a(sig, args, nargs, kwnames);
    Call<Object> call(self, type, sig.cls, kind);
    return a.texts_first([&] { return body(call.value(), a); });
  });
}

// A method table's entry for a METH_FASTCALL | METH_KEYWORDS function.
using FastFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
inline PyMethodDef fast_method_def(const char* name, FastFunction f, const char* doc) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f)), METH_FASTCALL | METH_KEYWORDS, doc};
}

}  // namespace kwsieve::py
