// The call frame shared by every entry point: argument matching, conversions, borrows,
// result objects and the translation of failures into Python exceptions.
//
// Inside an entry point, a failure unwinds as a C++ exception so that every Ref and
// Borrow on the way releases itself; the entry guard at the boundary turns it into the
// Python error indicator. No C++ exception ever crosses into the interpreter.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <type_traits>
#include <string>
#include <string_view>
#include <vector>

#include "python/ref.h"

namespace kwsieve::py {

// Thrown once a Python exception has been set.
struct ErrorAlreadySet {};

[[noreturn]] void throw_error_set();
inline PyObject* check(PyObject* o) {
  if (o == nullptr) throw_error_set();
  return o;
}
inline Ref own(PyObject* o) { return Ref::steal(check(o)); }

// Sets the current exception from the exception being handled (call inside catch (...)).
void set_error_from_current_exception() noexcept;

// The entry guard: runs `body` and turns anything it throws into the Python error
// indicator and the slot's failure value (nullptr for objects, -1 for integer slots).
template <class F, class R = std::invoke_result_t<F>>
R guard(F&& body, R failure = R{}) noexcept {
  try {
    return body();
  } catch (...) {
    set_error_from_current_exception();
    return failure;
  }
}

PyObject* panic_exception_type();  // borrowed; created on first need

// ---- argument matching ----

struct Signature {
  const char* cls;
  const char* func;
  const char* const* names;
  int count;
  int required;
};

// Fills out[0..count) with borrowed arguments, nullptr for those not given.
void match_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out);
void match_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// ---- borrows of an object's engine value ----

class Borrow {
 public:
  enum Kind { kShared, kExclusive };
  // Takes the borrow and a reference to `self` for the duration, or throws RuntimeError.
  Borrow(PyObject* self, Py_ssize_t& flag, Kind kind);
  ~Borrow();
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;

 private:
  PyObject* self_;
  Py_ssize_t& flag_;
  Kind kind_;
};

// Checks that `self` is an instance of `type`.
void check_receiver(PyObject* self, PyTypeObject* type, const char* cls);

// ---- conversions; `name` labels a TypeError as coming from that argument ----

[[noreturn]] void fail_argument(const char* name);

// The UTF-8 form of a str, valid while the Text lives. ASCII strings are read in place;
// others are encoded into the Text's own buffer, so that converting a caller's string never
// leaves a cached UTF-8 copy inside it (a multi-megabyte document would keep it for life).
class Text {
 public:
  std::string_view view() const { return owned_ ? std::string_view(storage_) : view_; }

 private:
  friend Text to_text(PyObject* o, const char* name);
  friend std::vector<Text> to_text_sequence(PyObject* o, const char* name);
  std::string_view view_;
  std::string storage_;
  bool owned_ = false;
  Ref keep_;  // the str that view_ points into, when the caller does not hold it
};

Text to_text(PyObject* o, const char* name);
std::optional<Text> to_optional_text(PyObject* o, const char* name);
std::optional<bool> to_optional_flag(PyObject* o, const char* name);
std::optional<float> to_optional_threshold(PyObject* o, const char* name);
float to_float32(PyObject* o, const char* name);
uint32_t to_char(PyObject* o, const char* name);
std::vector<uint32_t> to_char_sequence(PyObject* o, const char* name);
// The items' UTF-8 forms; each Text keeps its str alive, since a sequence may hand out
// fresh objects that nothing else holds.
std::vector<Text> to_text_sequence(PyObject* o, const char* name);
std::string_view to_byte_string(PyObject* o, const char* name);
std::size_t to_usize(PyObject* o, const char* name);

// ---- results ----

Ref new_str(std::string_view s);
Ref new_bytes(std::string_view s);
Ref new_size(std::size_t v);

}  // namespace kwsieve::py
