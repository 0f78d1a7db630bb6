// Module initialisation: single-phase, one module object per process, one interpreter.
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "python/frame.h"
#include "python/objects.h"

#ifndef KWSIEVE_VERSION
#define KWSIEVE_VERSION "0+unknown"
#endif

namespace kwsieve::py {

namespace {

// The module keeps process-wide cells (types, the module object) that belong to the
// interpreter that first imported it, so every other interpreter is refused.
std::atomic<int64_t> g_owner{-1};
PyObject* g_module = nullptr;
PyObject* g_all_name = nullptr;

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "kwsieve",  // m_name
    "",         // m_doc
    0,          // m_size
    nullptr,    // m_methods
    nullptr,    // m_slots
    nullptr,    // m_traverse
    nullptr,    // m_clear
    nullptr,    // m_free
};

void register_class(PyObject* module, const char* name, PyTypeObject* type) {
  if (g_all_name == nullptr) g_all_name = check(PyUnicode_InternFromString("__all__"));
  Ref all;
  if (PyObject_HasAttr(module, g_all_name)) {
    all = own(PyObject_GetAttr(module, g_all_name));
  } else {
    all = own(PyList_New(0));
    if (PyObject_SetAttr(module, g_all_name, all.get()) < 0) throw_error_set();
  }
  if (!PyList_Check(all.get())) {
    PyErr_SetString(PyExc_TypeError, "the module's __all__ is not a list");
    throw_error_set();
  }
  Ref text = new_str(name);
  if (PyList_Append(all.get(), text.get()) < 0) throw_error_set();
  if (PyObject_SetAttrString(module, name, reinterpret_cast<PyObject*>(type)) < 0) throw_error_set();
}

PyObject* init_module() {
  PyInterpreterState* interp = PyInterpreterState_Get();
  int64_t id = PyInterpreterState_GetID(interp);
  if (id == -1) throw_error_set();
  int64_t expected = -1;
  if (!g_owner.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "kwsieve does not support sub-interpreters: it can only be imported once "
                    "per process, by the interpreter that imported it first");
    throw_error_set();
  }
  if (g_module != nullptr) return Py_NewRef(g_module);

  Ref module = own(PyModule_Create2(&g_module_def, 1013));
  register_class(module.get(), "KeywordProcessor", processor_type());
  register_class(module.get(), "PyKeywordMatch", match_type());
  // Not in __all__: a handle for callers who want to catch internal faults by name.
  PyObject* panic = panic_exception_type();
  if (panic == nullptr) throw_error_set();
  if (PyObject_SetAttrString(module.get(), "PanicException", panic) < 0) throw_error_set();
  Ref version = new_str(KWSIEVE_VERSION);
  if (PyObject_SetAttrString(module.get(), "__version__", version.get()) < 0) throw_error_set();

  if (g_module == nullptr) g_module = Py_NewRef(module.get());
  return Py_NewRef(g_module);
}

}  // namespace

PyTypeObject* make_type(const char* qualified_name, const char* class_name,
                        const char* text_signature, std::string* doc_cell, PyType_Slot* slots,
                        int basicsize) {
  *doc_cell = std::string(class_name) + text_signature + "\n--\n\n";
  std::vector<PyType_Slot> all;
  all.push_back({Py_tp_doc, const_cast<char*>(doc_cell->c_str())});
  for (PyType_Slot* s = slots; s->slot != 0; ++s) all.push_back(*s);
  all.push_back({0, nullptr});
  // 3.11 keeps a pointer to this name rather than a copy: it must be static.
  PyType_Spec spec = {qualified_name, basicsize, 0, Py_TPFLAGS_DEFAULT, all.data()};
  return reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(&spec)));
}

}  // namespace kwsieve::py

PyMODINIT_FUNC PyInit_kwsieve(void) {
  return kwsieve::py::guard([] { return kwsieve::py::init_module(); });
}
