#include "python/frame.h"

#include <exception>
#include <new>
#include <string>
#include <string_view>

#include "engine/cancel.h"
#include "engine/fault.h"
#include "pool/pool.h"
#include "python/compat.h"
#include "python/interrupt.h"

namespace kwsieve::py {

void throw_error_set() {
  if (!PyErr_Occurred()) {
    PyErr_SetString(PyExc_SystemError, "error return without exception set");
  }
  throw ErrorAlreadySet{};
}

namespace {

PyObject* g_panic = nullptr;

constexpr const char kPanicDoc[] =
    "Raised when native code called from Python fails with an internal fault.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it\n"
    "typically propagates all the way up the stack and ends the program unless it is\n"
    "caught explicitly.";

// Where a fault was raised, relative to the source root: the build machine's folders mean
// nothing to the user reading the message.
const char* source_relative(const char* path) {
#ifdef KWSIEVE_SOURCE_ROOT
  std::string_view root = KWSIEVE_SOURCE_ROOT;
  std::string_view file = path;
  if (!root.empty() && file.starts_with(root) && file.size() > root.size() &&
      file[root.size()] == '/') {
    return path + root.size() + 1;
  }
#endif
  return path;
}

void raise_panic(const char* message, const std::source_location* where) {
  unsigned long thread = PyThread_get_thread_ident();
  if (where != nullptr) {
    PySys_FormatStderr("thread %lu panicked at %s:%u:%u:\n%s\n", thread,
                       source_relative(where->file_name()),
                       static_cast<unsigned>(where->line()), static_cast<unsigned>(where->column()),
                       message);
  } else {
    PySys_FormatStderr("thread %lu panicked:\n%s\n", thread, message);
  }
  PyObject* type = panic_exception_type();
  if (type != nullptr) PyErr_SetString(type, message);
}

}  // namespace

PyObject* panic_exception_type() {
  if (g_panic == nullptr) {
    g_panic = PyErr_NewExceptionWithDoc("kwsieve.PanicException", kPanicDoc, PyExc_BaseException,
                                        nullptr);
  }
  return g_panic;
}

void set_error_from_current_exception() noexcept {
  try {
    throw;
  } catch (const ErrorAlreadySet&) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
  } catch (const Cancelled&) {
    // Stopped because a signal handler raised (interrupt.h): its exception is set.
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "call stopped without exception set");
  } catch (const LoneSurrogate&) {
    // Arguments::texts_first found no text to blame.
    PyErr_SetString(PyExc_SystemError, "a text was refused for a lone surrogate it does not hold");
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const Fault& f) {
    raise_panic(f.what(), &f.where());
  } catch (const pool::StartFailure& f) {
    raise_panic(f.what(), &f.where());
  } catch (const std::exception& e) {
    raise_panic(e.what(), nullptr);
  } catch (...) {
    raise_panic("internal fault in native code", nullptr);
  }
}

// ---- argument matching ----

namespace {

[[noreturn]] void arg_error(const Signature& sig, const char* fmt, const char* what) {
  PyErr_Format(PyExc_TypeError, fmt, sig.cls, sig.func, what);
  throw ErrorAlreadySet{};
}

int max_positional(const Signature& sig) { return sig.positional != 0 ? sig.positional : sig.count; }

void too_many(const Signature& sig, Py_ssize_t given) {
  if (sig.positional != 0) {
    PyErr_Format(PyExc_TypeError, "%s.%s() takes from %d to %d positional arguments but %zd were given", sig.cls,
                 sig.func, sig.required, sig.positional, given);
  } else {
    PyErr_Format(PyExc_TypeError, "%s.%s() takes %d positional argument%s but %zd were given", sig.cls, sig.func,
                 sig.count, sig.count == 1 ? "" : "s", given);
  }
  throw ErrorAlreadySet{};
}

void place_keyword(const Signature& sig, PyObject* key, PyObject* value, PyObject** out) {
  if (PyUnicode_Check(key)) {
    for (int i = 0; i < sig.count; ++i) {
      if (PyUnicode_CompareWithASCIIString(key, sig.names[i]) == 0) {
        if (out[i] != nullptr) {
          arg_error(sig, "%s.%s() got multiple values for argument '%s'", sig.names[i]);
        }
        out[i] = value;
        return;
      }
    }
    PyErr_Format(PyExc_TypeError, "%s.%s() got an unexpected keyword argument '%U'", sig.cls,
                 sig.func, key);
  } else {
    PyErr_Format(PyExc_TypeError, "%s.%s() keywords must be strings", sig.cls, sig.func);
  }
  throw ErrorAlreadySet{};
}

void check_required(const Signature& sig, PyObject** out) {
  std::string missing;
  int n = 0;
  for (int i = 0; i < sig.required; ++i) {
    if (out[i] != nullptr) continue;
    if (n++) missing += ", ";
    missing += "'";
    missing += sig.names[i];
    missing += "'";
  }
  if (n == 0) return;
  PyErr_Format(PyExc_TypeError, "%s.%s() missing %d required argument%s: %s", sig.cls, sig.func, n,
               n == 1 ? "" : "s", missing.c_str());
  throw ErrorAlreadySet{};
}

}  // namespace

void match_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out) {
  nargs = PyVectorcall_NARGS(nargs);
  // The common call: positional arguments only, as many as the signature accepts.
  if (kwnames == nullptr && nargs >= sig.required && nargs <= max_positional(sig)) {
    Py_ssize_t i = 0;
    for (; i < nargs; ++i) out[i] = args[i];
    for (; i < sig.count; ++i) out[i] = nullptr;
    return;
  }
  for (int i = 0; i < sig.count; ++i) out[i] = nullptr;
  if (nargs > max_positional(sig)) too_many(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  if (kwnames != nullptr) {
    Py_ssize_t nk = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < nk; ++i) place_keyword(sig, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], out);
  }
  check_required(sig, out);
}

void match_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
  for (int i = 0; i < sig.count; ++i) out[i] = nullptr;
  Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (nargs > max_positional(sig)) too_many(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) place_keyword(sig, key, value, out);
  }
  check_required(sig, out);
}

// ---- borrows ----

Borrow::Borrow(PyObject* self, Py_ssize_t& flag, Kind kind) : self_(self), flag_(flag), kind_(kind) {
  if (kind == kShared) {
    if (flag == -1) {
      PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
      throw ErrorAlreadySet{};
    }
    ++flag;
  } else {
    if (flag != 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      throw ErrorAlreadySet{};
    }
    flag = -1;
  }
  Py_INCREF(self_);
}

Borrow::~Borrow() {
  if (kind_ == kShared) {
    --flag_;
  } else {
    flag_ = 0;
  }
  Py_DECREF(self_);
}

void check_receiver(PyObject* self, PyTypeObject* type, const char* cls) {
  if (self == nullptr || !PyObject_TypeCheck(self, type)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'",
                 self ? Py_TYPE(self)->tp_name : "NULL", cls);
    throw ErrorAlreadySet{};
  }
}

// ---- conversions ----

void fail_argument(const char* name) {
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "conversion failed without an error");
  if (name != nullptr && PyErr_ExceptionMatches(PyExc_TypeError)) {
    Ref old = Ref::steal(PyErr_GetRaisedException());
    if (Py_IS_TYPE(old.get(), reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
      Ref text = Ref::steal(PyObject_Str(old.get()));
      Ref relabelled = text ? Ref::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get())) : Ref();
      Ref fresh = relabelled ? Ref::steal(PyObject_CallOneArg(PyExc_TypeError, relabelled.get())) : Ref();
      if (fresh) {
        PyException_SetCause(fresh.get(), PyException_GetCause(old.get()));
        PyErr_SetRaisedException(fresh.release());
        throw ErrorAlreadySet{};
      }
      // Building the new error failed; that failure is now the pending exception.
      throw ErrorAlreadySet{};
    }
    PyErr_SetRaisedException(old.release());
  }
  throw ErrorAlreadySet{};
}

namespace {
[[noreturn]] void type_mismatch(PyObject* o, const char* expected, const char* name) {
  PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", Py_TYPE(o)->tp_name,
               expected);
  fail_argument(name);
}
}  // namespace

CodeUnits str_units(PyObject* o, const char* name) {
  if (!PyUnicode_Check(o)) type_mismatch(o, "str", name);
#if PY_VERSION_HEX < 0x030C0000
  if (PyUnicode_READY(o) < 0) fail_argument(name);
#endif
  return CodeUnits(PyUnicode_DATA(o), static_cast<std::size_t>(PyUnicode_GET_LENGTH(o)), PyUnicode_KIND(o),
                   PyUnicode_IS_ASCII(o));
}

// Lets the interpreter's own encoder raise.
void raise_surrogate_error(PyObject* o) {
  PyErr_Clear();
  if (PyUnicode_AsUTF8AndSize(o, nullptr) == nullptr) throw_error_set();
  PyErr_SetString(PyExc_SystemError, "surrogate in str was encoded");
  throw_error_set();
}

Utf8Text to_utf8(PyObject* o, const char* name, Cancel* cancel) {
  Utf8Text t(str_units(o, name));
  if (!t.units_.utf8(t.storage_, cancel)) raise_surrogate_error(o);
  return t;
}

std::optional<bool> to_optional_flag(PyObject* o, const char* name) {
  if (o == nullptr || o == Py_None) return std::nullopt;
  if (PyBool_Check(o)) return o == Py_True;
  PyTypeObject* type = Py_TYPE(o);
  Ref module = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  if (!module) PyErr_Clear();
  Ref tname = Ref::steal(PyType_GetName(type));
  if (!tname) PyErr_Clear();
  bool numpy_bool = module && tname && PyUnicode_Check(module.get()) &&
                    PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
                    (PyUnicode_CompareWithASCIIString(tname.get(), "bool_") == 0 ||
                     PyUnicode_CompareWithASCIIString(tname.get(), "bool") == 0);
  if (numpy_bool) {
    inquiry truth = type->tp_as_number ? type->tp_as_number->nb_bool : nullptr;
    if (truth == nullptr) {
      PyErr_Format(PyExc_TypeError, "object of type '%s' does not define a '__bool__' conversion",
                   type->tp_name);
      fail_argument(name);
    }
    int v = truth(o);
    if (v < 0) fail_argument(name);
    return v != 0;
  }
  type_mismatch(o, "bool", name);
}

float to_float32(PyObject* o, const char* name) {
  double d;
  if (PyFloat_CheckExact(o)) {
    d = PyFloat_AS_DOUBLE(o);
  } else {
    d = PyFloat_AsDouble(o);
    if (d == -1.0 && PyErr_Occurred()) fail_argument(name);
  }
  return static_cast<float>(d);
}

std::optional<float> to_optional_threshold(PyObject* o, const char* name) {
  if (o == nullptr || o == Py_None) return std::nullopt;
  return to_float32(o, name);
}

uint32_t to_char(PyObject* o, const char* name) {
  if (!PyUnicode_Check(o)) type_mismatch(o, "char", name);
  // Encoding first refuses lone surrogates, which are not scalar values.
  if (PyUnicode_AsUTF8AndSize(o, nullptr) == nullptr) fail_argument(name);
  if (PyUnicode_GET_LENGTH(o) != 1) {
    PyErr_SetString(PyExc_ValueError, "expected a string of length 1");
    fail_argument(name);
  }
  return PyUnicode_READ_CHAR(o, 0);
}

namespace {
// Calls add(item) for each item in order; `out` keeps what was added before a failure.
// An exact list or tuple is read in place: converting an item runs no Python code, so it
// cannot change meanwhile.
template <class T, class Add>
void to_sequence(PyObject* o, const char* name, std::vector<T>& out, Add add) {
  Interrupt interrupt;
  if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) {
    out.reserve(static_cast<std::size_t>(PySequence_Fast_GET_SIZE(o)));  // no larger than the items
    // A signal handler run by the check may change a list: read it afresh after each.
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(o); ++i) {
      interrupt.every(static_cast<std::size_t>(i));
      add(PySequence_Fast_ITEMS(o)[i]);
    }
    return;
  }
  if (PyUnicode_Check(o)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    fail_argument(name);
  }
  if (!PySequence_Check(o)) type_mismatch(o, "Sequence", name);
  Py_ssize_t hint = PySequence_Size(o);
  if (hint < 0) {
    PyErr_Clear();
    hint = 0;
  }
  // The hint only sizes the first allocation; a lying __len__ cannot make it large.
  out.reserve(static_cast<std::size_t>(std::min<Py_ssize_t>(hint, 1 << 16)));
  Ref iter = Ref::steal(PyObject_GetIter(o));
  if (!iter) fail_argument(name);
  for (std::size_t i = 0;; ++i) {
    Ref next = Ref::steal(PyIter_Next(iter.get()));
    if (!next) break;
    add(next.get());
    interrupt.every(i);
  }
  if (PyErr_Occurred()) fail_argument(name);
}
}  // namespace

std::vector<uint32_t> to_char_sequence(PyObject* o, const char* name) {
  std::vector<uint32_t> chars;
  to_sequence(o, name, chars, [&](PyObject* item) { chars.push_back(to_char(item, name)); });
  return chars;
}

std::string_view to_byte_string(PyObject* o, const char* name) {
  if (!PyBytes_Check(o)) type_mismatch(o, "bytes", name);
  return {PyBytes_AS_STRING(o), static_cast<std::size_t>(PyBytes_GET_SIZE(o))};
}

std::size_t to_usize(PyObject* o, const char* name) {
  Ref index = Ref::steal(PyNumber_Index(o));
  if (!index) fail_argument(name);
  std::size_t v = PyLong_AsSize_t(index.get());
  if (v == static_cast<std::size_t>(-1) && PyErr_Occurred()) fail_argument(name);
  return v;
}

// ---- the arguments of a call ----

Arguments::Arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) : sig_(sig) {
  match_fastcall(sig, args, nargs, kwnames, given_);
}

Arguments::Arguments(const Signature& sig, PyObject* args, PyObject* kwargs) : sig_(sig) {
  match_tuple(sig, args, kwargs, given_);
}

const char* Arguments::text_name(int i) const {
  if (i < 0 || i >= sig_.count || !(sig_.texts & Signature::text(i))) {
    throw Fault(std::string(sig_.func) + ": parameter " + std::to_string(i) + " is not a text of the signature");
  }
  return sig_.names[i];
}

const UnitText& Arguments::units(int i) {
  const char* name = text_name(i);
  if (unit_param_ != -1) throw Fault(std::string(sig_.func) + ": a second code-unit text parameter");
  unit_text_.emplace(UnitText(str_units(given_[i], name), given_[i]));
  unit_param_ = i;
  return *unit_text_;
}

Utf8Text Arguments::utf8(int i, Cancel* cancel) { return to_utf8(given_[i], text_name(i), cancel); }

std::optional<Utf8Text> Arguments::optional_utf8(int i) {
  const char* name = text_name(i);
  if (given_[i] == nullptr || given_[i] == Py_None) return std::nullopt;
  return to_utf8(given_[i], name);
}

const std::vector<UnitText>& Arguments::texts(int i) {
  const char* name = text_name(i);
  if (sequence_param_ != -1) throw Fault(std::string(sig_.func) + ": a second sequence-of-texts parameter");
  sequence_param_ = i;
  to_sequence(given_[i], name, sequence_,
              [&](PyObject* item) { sequence_.push_back(UnitText(str_units(item, name), item)); });
  return sequence_;
}

void Arguments::refuse_surrogates() const {
  try {
    throw;
  } catch (const Cancelled&) {
    return;  // an interrupt ends the call whatever else is wrong
  } catch (...) {
  }
  auto refuse_unit_text = [&] {
    if (unit_text_ && unit_text_->units().has_surrogate()) raise_surrogate_error(given_[unit_param_]);
  };
  // In parameter order: parameters are converted in that order.
  if (unit_param_ != -1 && (sequence_param_ == -1 || unit_param_ < sequence_param_)) refuse_unit_text();
  for (const UnitText& t : sequence_) {
    if (t.units().has_surrogate()) raise_surrogate_error(t.str_.get());
  }
  refuse_unit_text();
}

// ---- results ----

Ref new_str(std::string_view s) {
  return own(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}
Ref new_bytes(std::string_view s) {
  return own(PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}
Ref new_size(std::size_t v) { return own(PyLong_FromSize_t(v)); }

}  // namespace kwsieve::py
