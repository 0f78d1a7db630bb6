// Calls that newer CPython versions have and 3.11 lacks.
#pragma once

#include <Python.h>

#if PY_VERSION_HEX < 0x030C0000
// 3.12 replaced the fetch/restore triple with a single exception object.
static inline PyObject* PyErr_GetRaisedException(void) {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  if (type == nullptr) return nullptr;
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb != nullptr) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return value;
}
static inline void PyErr_SetRaisedException(PyObject* exc) {
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))), exc,
                PyException_GetTraceback(exc));
}
#endif
