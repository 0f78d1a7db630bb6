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
#include <utility>
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
  // Bit i set (text(i)): parameter i is a text, an optional text or a sequence of texts,
  // converted only through Arguments. A lone surrogate in one is the call's error ahead of
  // anything that fails after the text's conversion (see Arguments::texts_first).
  unsigned texts = 0;
  // Parameters that may be given by position (0: all of them); the rest are keyword-only.
  // Calls with too many are then worded as the interpreter words them.
  int positional = 0;

  static constexpr unsigned text(int i) { return 1u << i; }
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

// Two forms of a str argument, of two types so that neither can be read as the other.
// Both read an ASCII str in place. Neither ever goes through the interpreter's cached UTF-8
// form, so converting a caller's string does not leave a copy inside it (a multi-megabyte
// document would keep it for life).

// A str as UTF-8 bytes, encoded at conversion: a lone surrogate is refused right there.
class Utf8Text {
 public:
  std::string_view view() const { return units_.ascii() ? units_.ascii_view() : std::string_view(storage_); }

 private:
  friend Utf8Text to_utf8(PyObject* o, const char* name, Cancel* cancel);
  explicit Utf8Text(CodeUnits units) : units_(units) {}
  CodeUnits units_;
  std::string storage_;
};

// A str as its code units, not encoded: for engine calls that read the units themselves,
// or encode them where they are used (a pool worker, say). The engine finds any lone
// surrogate; see Arguments for how it is reported.
class UnitText {
 public:
  const CodeUnits& units() const { return units_; }
  // The UTF-8 form, needing no interpreter call; `buffer` is the caller's to reuse.
  // Nothing if the str holds a lone surrogate.
  std::optional<std::string_view> utf8(std::string& buffer) const { return units_.utf8(buffer); }
  // A new reference to the str itself when it is exactly a str (not a subclass), so a
  // result equal to it can be the same object; else null.
  PyObject* same_str() const { return PyUnicode_CheckExact(str_.get()) ? Py_NewRef(str_.get()) : nullptr; }

 private:
  friend class Arguments;
  UnitText(CodeUnits units, PyObject* str) : units_(units), str_(Ref::borrow(str)) {}
  CodeUnits units_;
  Ref str_;  // kept alive: a sequence may hand out fresh objects that nothing else holds
};

// The code units of a str; TypeError (labelled `name`) for anything else.
CodeUnits str_units(PyObject* o, const char* name);
// `cancel`, if given, is checked while a long text is encoded.
Utf8Text to_utf8(PyObject* o, const char* name, Cancel* cancel = nullptr);
// Raises the interpreter's UnicodeEncodeError for a str known to hold a lone surrogate,
// replacing any error already set.
[[noreturn]] void raise_surrogate_error(PyObject* o);

// Thrown by a call whose engine work refused a UnitText for its lone surrogate;
// Arguments::texts_first turns it into the interpreter's error for that text.
struct LoneSurrogate {};

// A call's arguments once matched, and the conversions of its text parameters. A str
// holding a lone surrogate cannot be encoded, and the rule for every call is that this is
// its error before anything that fails after the text was converted (a later argument, the
// engine, the result): the error a caller would see had every text been encoded at
// conversion, which code-unit texts put off. Texts are therefore converted here, where
// they are kept, and texts_first() applies the rule to whatever the call body throws.
class Arguments {
 public:
  static constexpr int kMaxParams = 4;

  Arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
  Arguments(const Signature& sig, PyObject* args, PyObject* kwargs);
  Arguments(const Arguments&) = delete;
  Arguments& operator=(const Arguments&) = delete;

  // Parameter i as given, null if it was not (or the signature has fewer).
  PyObject* operator[](int i) const { return given_[i]; }

  // Text parameter i (a text of the signature) as code units.
  const UnitText& units(int i);
  // Text parameter i encoded, with `cancel` checked while a long text is.
  Utf8Text utf8(int i, Cancel* cancel = nullptr);
  // Optional text parameter i encoded; nothing for None or not given.
  std::optional<Utf8Text> optional_utf8(int i);
  // Sequence-of-texts parameter i, its items as code units, in iteration order.
  const std::vector<UnitText>& texts(int i);
  // The sequence's texts, given up by a call that a signal handler stopped, to be freed
  // later (python/leftovers.h); nothing is reported for them after this.
  std::vector<UnitText> give_up_texts() { return std::move(sequence_); }

  // Runs body(); if it throws anything but an interrupt, the first converted text holding
  // a lone surrogate is reported instead (a texts parameter's items in their order).
  template <class Body>
  decltype(auto) texts_first(Body&& body) {
    try {
      return body();
    } catch (...) {
      refuse_surrogates();
      throw;
    }
  }

 private:
  // Checks that parameter i is a text of the signature; returns its name.
  const char* text_name(int i) const;
  // Inside a catch block: raises for the first converted text holding a lone surrogate,
  // unless the exception being handled is an interrupt; else returns.
  void refuse_surrogates() const;

  // One parameter of each kind at most, which every signature needs: a call that converts
  // no text then only clears a few words (a table per parameter, zeroed on every call, cost
  // more than the rest of the frame).
  const Signature& sig_;
  PyObject* given_[kMaxParams] = {};
  int unit_param_ = -1;  // the parameter held by unit_text_
  int sequence_param_ = -1;  // the parameter whose items are in sequence_
  std::optional<UnitText> unit_text_;
  std::vector<UnitText> sequence_;
};

std::optional<bool> to_optional_flag(PyObject* o, const char* name);
std::optional<float> to_optional_threshold(PyObject* o, const char* name);
float to_float32(PyObject* o, const char* name);
uint32_t to_char(PyObject* o, const char* name);
std::vector<uint32_t> to_char_sequence(PyObject* o, const char* name);
std::string_view to_byte_string(PyObject* o, const char* name);
std::size_t to_usize(PyObject* o, const char* name);

// ---- results ----

Ref new_str(std::string_view s);
Ref new_bytes(std::string_view s);
Ref new_size(std::size_t v);

}  // namespace kwsieve::py
