// The PyKeywordMatch class: a mutable holder of one match's four values.
#include <Python.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "engine/codec.h"
#include "python/frame.h"
#include "python/objects.h"

namespace kwsieve::py {

namespace {

constexpr const char kClass[] = "PyKeywordMatch";

struct MatchCall : Call<MatchObject> {
  MatchCall(PyObject* self, Borrow::Kind kind) : Call(self, match_type(), kClass, kind) {}
};

const char* const kNewNames[] = {"keyword", "similarity", "start", "end"};
const Signature kNewSig = {kClass, "__new__", kNewNames, 4, 4, Signature::text(0)};
const char* const kStateNames[] = {"state"};
const Signature kSetStateSig = {kClass, "__setstate__", kStateNames, 1, 1};

PyObject* km_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    Arguments a(kNewSig, args, kwargs);
    MatchValue v;
    v.keyword.assign(a.utf8(0).view());
    v.similarity = to_float32(a[1], "similarity");
    v.start = to_usize(a[2], "start");
    v.end = to_usize(a[3], "end");
    return create_object<MatchObject>(type, std::move(v)).release();
  });
}

void km_dealloc(PyObject* self) { destroy_object<MatchObject, MatchValue>(self); }

// Two decimals rounded from the exact binary32 value, ties to even: the C library's
// %.2f on the widened value does exactly that, since widening is exact.
std::string format_similarity(float s) {
  if (std::isnan(s)) return "NaN";
  if (std::isinf(s)) return s > 0 ? "inf" : "-inf";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.2f", static_cast<double>(s));
  return buf;
}

PyObject* km_repr(PyObject* self) {
  return guard([&] {
    MatchCall call(self, Borrow::kShared);
    const MatchValue& v = call.value();
    std::string text = "KeywordMatch(keyword='";
    text += v.keyword;
    text += "', similarity=";
    text += format_similarity(v.similarity);
    text += ", start=" + std::to_string(v.start);
    text += ", end=" + std::to_string(v.end);
    text += ")";
    return new_str(text).release();
  });
}

// ---- attributes ----

enum Field { kKeyword, kSimilarity, kStart, kEnd };

PyObject* km_get(PyObject* self, void* closure) {
  return guard([&] {
    MatchCall call(self, Borrow::kShared);
    const MatchValue& v = call.value();
    switch (static_cast<Field>(reinterpret_cast<intptr_t>(closure))) {
      case kKeyword: return new_str(v.keyword).release();
      case kSimilarity: return check(PyFloat_FromDouble(v.similarity));
      case kStart: return new_size(v.start).release();
      case kEnd: return new_size(v.end).release();
    }
    return Py_NewRef(Py_None);
  });
}

int km_set(PyObject* self, PyObject* value, void* closure) {
  return guard([&] {
    Field field = static_cast<Field>(reinterpret_cast<intptr_t>(closure));
    if (value == nullptr) {
      PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
      throw_error_set();
    }
    check_receiver(self, match_type(), kClass);
    // The new value is converted before the borrow is taken.
    switch (field) {
      case kKeyword: {
        std::string keyword(to_utf8(value, "keyword").view());
        MatchCall call(self, Borrow::kExclusive);
        call.value().keyword.swap(keyword);
        break;
      }
      case kSimilarity: {
        float s = to_float32(value, "similarity");
        MatchCall call(self, Borrow::kExclusive);
        call.value().similarity = s;
        break;
      }
      case kStart:
      case kEnd: {
        std::size_t n = to_usize(value, field == kStart ? "start" : "end");
        MatchCall call(self, Borrow::kExclusive);
        (field == kStart ? call.value().start : call.value().end) = n;
        break;
      }
    }
    return 0;
  }, -1);
}

#define FIELD(name, f) \
  {name, km_get, km_set, nullptr, reinterpret_cast<void*>(static_cast<intptr_t>(f))}
PyGetSetDef km_getset[] = {
    FIELD("keyword", kKeyword),
    FIELD("similarity", kSimilarity),
    FIELD("start", kStart),
    FIELD("end", kEnd),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- pickling ----

PyObject* km_getstate(PyObject* self, PyObject*) {
  return guard([&] {
    MatchCall call(self, Borrow::kShared);
    return new_bytes(encode_match(call.value())).release();
  });
}

PyObject* km_setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    PyObject* a[1];
    match_fastcall(kSetStateSig, args, nargs, kwnames, a);
    MatchCall call(self, Borrow::kExclusive);
    std::string_view state = to_byte_string(a[0], "state");
    MatchValue decoded = decode_match(state);
    call.value() = std::move(decoded);
    Py_RETURN_NONE;
  });
}

PyObject* km_getnewargs(PyObject* self, PyObject*) {
  return guard([&] {
    MatchCall call(self, Borrow::kShared);
    const MatchValue& v = call.value();
    Ref keyword = new_str(v.keyword);
    Ref similarity = own(PyFloat_FromDouble(v.similarity));
    Ref start = new_size(v.start);
    Ref end = new_size(v.end);
    return check(PyTuple_Pack(4, keyword.get(), similarity.get(), start.get(), end.get()));
  });
}

PyMethodDef km_methods[] = {
    fast_method_def("__setstate__", km_setstate, "__setstate__($self, state)\n--\n\n"),
    {"__getstate__", km_getstate, METH_NOARGS, "__getstate__($self)\n--\n\n"},
    {"__getnewargs__", km_getnewargs, METH_NOARGS, "__getnewargs__($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot km_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(km_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(km_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(km_repr)},
    {Py_tp_methods, km_methods},
    {Py_tp_getset, km_getset},
    {0, nullptr},
};

PyTypeObject* g_type = nullptr;
std::string g_doc;

}  // namespace

PyTypeObject* match_type() {
  if (g_type == nullptr) {
    PyTypeObject* t = make_type("kwsieve.PyKeywordMatch", kClass, "(keyword, similarity, start, end)", &g_doc,
                                km_slots, static_cast<int>(sizeof(MatchObject)));
    if (g_type == nullptr) {
      g_type = t;
    } else {
      Py_DECREF(t);
    }
  }
  return g_type;
}

Ref new_match(MatchValue&& value) {
  PyTypeObject* type = match_type();
  return create_object<MatchObject>(type, std::move(value));
}

}  // namespace kwsieve::py
