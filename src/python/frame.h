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

#include "engine/code_units.h"
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

// A str argument, readable as UTF-8 while the Text lives (it keeps its str alive when the
// caller might not). ASCII strings are read in place; others are encoded into a buffer of
// ours, never through the interpreter's cached UTF-8 form, so converting a caller's string
// does not leave a copy inside it (a multi-megabyte document would keep it for life).
class Text {
 public:
  explicit Text(CodeUnits units) : units_(units) {}
  // The form made by to_text: encoded once, at conversion.
  std::string_view view() const { return units_.ascii() ? units_.ascii_view() : std::string_view(storage_); }
  // The form of a sequence item, encoded where it is used (by a pool worker, say): needs
  // no interpreter call; `buffer` is the caller's to reuse. Nothing if the str holds a
  // lone surrogate: refuse_surrogates() then raises the interpreter's error for it.
  std::optional<std::string_view> utf8(std::string& buffer) const { return units_.utf8(buffer); }
  // The code units, for engine calls that read them directly.
  const CodeUnits& units() const { return units_; }
  // A new reference to the str itself when it is exactly a str (not a subclass) that this
  // Text keeps alive, so a result equal to it can be the same object; else null.
  PyObject* same_str() const { return keep_ && PyUnicode_CheckExact(keep_.get()) ? Py_NewRef(keep_.get()) : nullptr; }

 private:
  friend Text to_text(PyObject* o, const char* name, Cancel* cancel);
  friend Text to_text_units(PyObject* o, const char* name);
  friend std::vector<Text> to_text_sequence(PyObject* o, const char* name);
  friend void refuse_surrogates(const std::vector<Text>& texts, std::size_t count);
  CodeUnits units_;
  std::string storage_;
  Ref keep_;
};

// `cancel`, if given, is checked while a long text is encoded.
Text to_text(PyObject* o, const char* name, Cancel* cancel = nullptr);
// A str argument's code units, not encoded: for an engine call that reads the units
// itself. The engine finds any lone surrogate, and the caller reports it with
// raise_surrogate_error(), converting later arguments through after_text() so that it is
// still the first error.
Text to_text_units(PyObject* o, const char* name);
[[noreturn]] void raise_surrogate_error(PyObject* o);
template <class Convert>
auto after_text(const Text& text, PyObject* o, Convert&& convert) -> decltype(convert()) {
  try {
    return convert();
  } catch (...) {
    if (text.units().has_surrogate()) raise_surrogate_error(o);
    throw;
  }
}
// An optional str argument's UTF-8 form, for use during the call: an ASCII str's own
// characters, or the encoding written into `storage`.
std::optional<std::string_view> to_optional_utf8(PyObject* o, const char* name, std::string& storage);
std::optional<bool> to_optional_flag(PyObject* o, const char* name);
std::optional<float> to_optional_threshold(PyObject* o, const char* name);
float to_float32(PyObject* o, const char* name);
uint32_t to_char(PyObject* o, const char* name);
std::vector<uint32_t> to_char_sequence(PyObject* o, const char* name);
// The items, not yet encoded (read them with utf8()); each Text keeps its str alive, since
// a sequence may hand out fresh objects that nothing else holds.
std::vector<Text> to_text_sequence(PyObject* o, const char* name);
// Raises the interpreter's UnicodeEncodeError (replacing any error already set) for the
// first of texts[0, count) that holds a lone surrogate; returns if none does. A batch
// calls it when its work failed, so that a text that cannot be encoded is reported just
// as if it had been refused at conversion, before any work.
void refuse_surrogates(const std::vector<Text>& texts, std::size_t count);
std::string_view to_byte_string(PyObject* o, const char* name);
std::size_t to_usize(PyObject* o, const char* name);

// ---- results ----

Ref new_str(std::string_view s);
Ref new_bytes(std::string_view s);
Ref new_size(std::size_t v);

}  // namespace kwsieve::py
