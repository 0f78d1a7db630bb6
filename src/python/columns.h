// The columnar methods of KeywordProcessor and the class of their results.
#pragma once

#include <Python.h>

namespace kwsieve::py {

PyObject* kp_extract_column(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* kp_replace_column(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// kwsieve.columns.ColumnResult, created on first need.
PyTypeObject* column_type();

}  // namespace kwsieve::py
