// The KeywordProcessor class.
#include <Python.h>

#include <array>
#include <chrono>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/codec.h"
#include "engine/extract.h"
#include "engine/listing.h"
#include "engine/processor.h"
#include "engine/read_view.h"
#include "pool/pool.h"
#include "python/columns.h"
#include "python/compat.h"
#include "python/frame.h"
#include "python/interrupt.h"
#include "python/leftovers.h"
#include "python/objects.h"

namespace kwsieve::py {

namespace {

constexpr const char kClass[] = "KeywordProcessor";

KeywordProcessor& value_of(PyObject* self) { return reinterpret_cast<ProcessorObject*>(self)->value; }

struct ProcessorCall : Call<ProcessorObject> {
  ProcessorCall(PyObject* self, Borrow::Kind kind) : Call(self, processor_type(), kClass, kind) {}
};

// The frame of a fast-call method (fast_method) with its signature spelled in place.
template <std::size_t N, class Body>
PyObject* method(const char* name, int required, const std::array<const char*, N>& names, unsigned texts,
                 Borrow::Kind kind, PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 Body&& body) {
  const Signature sig = {kClass, name, names.data(), static_cast<int>(N), required, texts};
  return fast_method<ProcessorObject>(sig, processor_type(), kind, self, args, nargs, kwnames, body);
}

constexpr unsigned kFirstIsText = Signature::text(0);

// Lends a single-text call's extractor the working-text buffer of the previous call, and
// takes it back after: a caller going through large documents one call at a time then
// reuses one buffer instead of faulting in and zeroing a fresh one each time. Buffers
// beyond kKeep bytes are not kept. One buffer for the process, guarded by the interpreter
// lock, which single-text calls hold throughout (a call nested in one, from a signal
// handler, finds it lent out and starts empty). Not a thread_local: see pool.cpp.
class WorkBuffer {
 public:
  explicit WorkBuffer(Extractor& x) : x_(x) { x_.work_buffer().swap(kept()); }
  ~WorkBuffer() {
    std::string& work = x_.work_buffer();
    if (work.capacity() <= kKeep) work.swap(kept());
  }
  WorkBuffer(const WorkBuffer&) = delete;
  WorkBuffer& operator=(const WorkBuffer&) = delete;

 private:
  static constexpr std::size_t kKeep = std::size_t{16} << 20;
  static std::string& kept() {
    static std::string buffer;
    return buffer;
  }
  Extractor& x_;
};

Ref match_list(const std::vector<KeywordMatch>& matches, Interrupt& interrupt) {
  Ref list = own(PyList_New(static_cast<Py_ssize_t>(matches.size())));
  for (std::size_t i = 0; i < matches.size(); ++i) {
    interrupt.every(i);
    const KeywordMatch& m = matches[i];
    Ref obj = new_match(MatchValue{std::string(m.keyword), m.similarity, m.start, m.end});
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), obj.release());
  }
  return list;
}

// ---- slots ----

PyObject* kp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    static const char* const names[] = {"case_sensitive", "allow_overlaps"};
    static const Signature sig = {kClass, "__new__", names, 2, 0};
    PyObject* a[2];
    match_tuple(sig, args, kwargs, a);
    bool case_sensitive = to_optional_flag(a[0], "case_sensitive").value_or(false);
    bool allow_overlaps = to_optional_flag(a[1], "allow_overlaps").value_or(false);
    allocfunc alloc = type->tp_alloc ? type->tp_alloc : PyType_GenericAlloc;
    PyObject* raw = alloc(type, 0);
    if (raw == nullptr) throw_error_set();
    auto* p = reinterpret_cast<ProcessorObject*>(raw);
    // Built in place, as it is not movable. If that fails there is no value to destroy,
    // so the object is freed directly rather than through the deallocation slot.
    try {
      new (&p->value) KeywordProcessor(case_sensitive, allow_overlaps);
    } catch (...) {
      freefunc free = type->tp_free ? type->tp_free : PyObject_Free;
      free(raw);
      Py_DECREF(type);
      throw;
    }
    p->borrow = 0;
    return raw;
  });
}

void kp_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  value_of(self).~KeywordProcessor();
  freefunc free = type->tp_free ? type->tp_free : PyObject_Free;
  free(self);
  Py_DECREF(type);
}

PyObject* kp_repr(PyObject* self) {
  return guard([&] {
    ProcessorCall call(self, Borrow::kShared);
    return PyUnicode_FromFormat("KeywordProcessor(num_keywords=%zu)", call.value().count_keywords());
  });
}

Py_ssize_t kp_length(PyObject* self) {
  return guard([&]() -> Py_ssize_t {
    ProcessorCall call(self, Borrow::kShared);
    std::size_t n = call.value().count_keywords();
    if (n > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
      PyErr_SetNone(PyExc_OverflowError);
      throw_error_set();
    }
    return static_cast<Py_ssize_t>(n);
  }, Py_ssize_t{-1});
}

// ---- methods ----

PyObject* kp_add_keyword(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return method<2>("add_keyword", 1, {"keyword", "clean_name"}, kFirstIsText | Signature::text(1), Borrow::kExclusive,
                   self, args, nargs, kwnames, [&](KeywordProcessor& kp, Arguments& a) -> PyObject* {
    const UnitText& keyword = a.units(0);
    const std::optional<Utf8Text> clean_name = a.optional_utf8(1);
    if (!kp.add_keyword(keyword.units(), clean_name ? std::optional(clean_name->view()) : std::nullopt)) {
      throw LoneSurrogate{};
    }
    Py_RETURN_NONE;
  });
}

PyObject* kp_remove_keyword(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return method<1>("remove_keyword", 1, {"keyword"}, kFirstIsText, Borrow::kExclusive, self, args, nargs, kwnames,
                   [&](KeywordProcessor& kp, Arguments& a) -> PyObject* {
    const Utf8Text keyword = a.utf8(0);
    return Py_NewRef(kp.remove_keyword(keyword.view()) ? Py_True : Py_False);
  });
}

PyObject* kp_extract_keywords(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return method<2>("extract_keywords", 1, {"text", "threshold"}, kFirstIsText, Borrow::kShared, self, args, nargs,
                   kwnames, [&](KeywordProcessor& kp, Arguments& a) -> PyObject* {
    const UnitText& text = a.units(0);
    const std::optional<float> threshold = to_optional_threshold(a[1], "threshold");
    check_threshold(threshold);
    Interrupt interrupt;
    Extractor x(kp.read_view());
    x.set_cancel(interrupt.here());
    WorkBuffer reuse(x);
    std::vector<KeywordMatch> matches;
    std::string buffer;
    if (!x.extract(text.units(), threshold, matches, buffer)) throw LoneSurrogate{};
    return match_list(matches, interrupt).release();
  });
}

PyObject* kp_replace_keywords(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return method<2>("replace_keywords", 1, {"text", "threshold"}, kFirstIsText, Borrow::kShared, self, args, nargs,
                   kwnames, [&](KeywordProcessor& kp, Arguments& a) -> PyObject* {
    Interrupt interrupt;
    const Utf8Text text = a.utf8(0, interrupt.here());
    std::optional<float> threshold = to_optional_threshold(a[1], "threshold");
    check_threshold(threshold);
    Extractor x(kp.read_view());
    x.set_cancel(interrupt.here());
    WorkBuffer reuse(x);
    std::optional<std::string> out = x.replace(text.view(), threshold);
    // Nothing matched: the text itself is the answer (a str is immutable); a subclass
    // instance still comes back as a plain str.
    if (!out) return PyUnicode_CheckExact(a[0]) ? Py_NewRef(a[0]) : new_str(text.view()).release();
    return new_str(*out).release();
  });
}

// Runs of consecutive texts that pool workers have finished, for the calling thread to
// take while it waits. A lock per run of texts costs nothing next to the texts' work.
class FinishedRuns {
 public:
  using Run = std::pair<std::size_t, std::size_t>;
  static constexpr std::size_t kTexts = 64;

  void publish(std::size_t begin, std::size_t end) {
    std::lock_guard<std::mutex> lock(mu_);
    runs_.emplace_back(begin, end);
  }
  // Replaces `into` with the runs published since the last take.
  void take(std::vector<Run>& into) {
    into.clear();
    std::lock_guard<std::mutex> lock(mu_);
    runs_.swap(into);
  }

 private:
  std::mutex mu_;
  std::vector<Run> runs_;
};

// How often the calling thread looks for finished runs: often enough that little is left
// to build when the last text is done, and far longer than taking a run costs.
constexpr std::chrono::milliseconds kBuildPeriod{1};

// Runs `work(extractor, units, buffer, i)` for every text on the pool; false from it means
// the text holds a lone surrogate. Then `build(i)` for every text, on the calling thread:
// the result object of text i. The interpreter lock stays held: the workers call no Python
// API and only read engine values and the characters of the texts (a str never changes,
// and the UnitTexts keep them alive). The calling thread, while it waits, builds the
// objects of the texts finished so far, so that the serial part of a batch overlaps the
// parallel one; it also checks for signals, and if a handler raises, the workers stop at
// their next check (between texts, and inside long ones) and once all have returned the
// handler's exception ends the call. A failure to build stops the workers too and ends
// the call once they have returned, with the interpreter's error as it was when building
// failed.
template <class Work, class Build>
void run_batch(const std::vector<UnitText>& texts, Work work, Build build, const KeywordProcessor& processor,
               Interrupt& interrupt) {
  pool::num_threads();  // the first batch call starts the pool, even for no texts
  if (texts.empty()) return;
  const ReadView& view = processor.read_view();
  FinishedRuns finished;
  std::vector<FinishedRuns::Run> runs;
  std::exception_ptr build_error;
  Ref build_exception;  // the interpreter's error that came with build_error, kept aside
  auto build_finished = [&] {
    if (build_error) return;
    try {
      finished.take(runs);
      for (auto [begin, end] : runs) {
        for (std::size_t i = begin; i < end; ++i) build(i);
      }
    } catch (...) {
      build_error = std::current_exception();
      // Set aside while the workers stop, so that signal handlers do not run over it; a
      // handler's own exception (Ctrl-C while building) stays set, as it ends the call.
      if (!interrupt.raised()) build_exception = Ref::steal(PyErr_GetRaisedException());
      interrupt.workers()->request();
    }
  };
  auto rethrow_build_error = [&] {
    if (build_exception) PyErr_SetRaisedException(build_exception.release());
    std::rethrow_exception(build_error);
  };
  try {
    run_pieces(interrupt, texts.size(), [&](std::size_t begin, std::size_t end, Cancel& cancel) {
      Extractor x(view);
      x.set_cancel(&cancel);
      std::string buffer;  // one text's UTF-8 form at a time, reused along the piece
      std::size_t run = begin;
      for (std::size_t i = begin; i < end; ++i) {
        if (cancel.requested()) throw Cancelled{};
        if (!work(x, texts[i].units(), buffer, i)) throw LoneSurrogate{};
        if (i + 1 - run == FinishedRuns::kTexts) {
          finished.publish(run, i + 1);
          run = i + 1;
        }
      }
      if (run < end) finished.publish(run, end);
    }, build_finished, kBuildPeriod);
  } catch (const Cancelled&) {
    if (!interrupt.raised() && build_error) rethrow_build_error();
    throw;
  }
  // What the waits left: the runs finished since the last one, each text's object once.
  build_finished();
  if (build_error) rethrow_build_error();
}

PyObject* kp_parallel_extract(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return method<2>("parallel_extract_keywords_from_texts", 1, {"texts", "threshold"}, kFirstIsText, Borrow::kShared,
                   self, args, nargs, kwnames, [&](KeywordProcessor& kp, Arguments& a) -> PyObject* {
    const std::vector<UnitText>& texts = a.texts(0);
    std::optional<float> threshold = to_optional_threshold(a[1], "threshold");
    std::vector<std::vector<KeywordMatch>> results(texts.size());
    Ref list = own(PyList_New(static_cast<Py_ssize_t>(results.size())));
    Interrupt interrupt;
    try {
      run_batch(texts, [&](Extractor& x, const CodeUnits& text, std::string& buffer, std::size_t i) {
        return x.extract(text, threshold, results[i], buffer);
      }, [&](std::size_t i) {
        interrupt.every(i);
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), match_list(results[i], interrupt).release());
        std::vector<KeywordMatch>().swap(results[i]);  // the objects hold what it held
      }, kp, interrupt);
    } catch (...) {
      if (interrupt.raised()) free_later(list, results, a.give_up_texts());
      throw;
    }
    return list.release();
  });
}

PyObject* kp_parallel_replace(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return method<2>("parallel_replace_keywords_from_texts", 1, {"texts", "threshold"}, kFirstIsText, Borrow::kShared,
                   self, args, nargs, kwnames, [&](KeywordProcessor& kp, Arguments& a) -> PyObject* {
    const std::vector<UnitText>& texts = a.texts(0);
    std::optional<float> threshold = to_optional_threshold(a[1], "threshold");
    std::vector<std::optional<std::string>> results(texts.size());
    Ref list = own(PyList_New(static_cast<Py_ssize_t>(results.size())));
    Interrupt interrupt;
    std::string buffer;  // the calling thread's, for texts it writes back unchanged
    try {
      run_batch(texts, [&](Extractor& x, const CodeUnits& text, std::string& units, std::size_t i) {
        std::optional<std::string_view> utf8 = text.utf8(units, x.cancel());
        if (!utf8) return false;
        results[i] = x.replace(*utf8, threshold);
        return true;
      }, [&](std::size_t i) {
        interrupt.every(i);
        // Texts without a match come back as themselves, which spares the calling thread
        // from decoding them into new str objects; only subclass instances need a copy.
        PyObject* item = results[i] ? nullptr : texts[i].same_str();
        if (item == nullptr) {
          item = new_str(results[i] ? std::string_view(*results[i]) : *texts[i].utf8(buffer)).release();
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
        results[i].reset();
      }, kp, interrupt);
    } catch (...) {
      if (interrupt.raised()) free_later(list, results, a.give_up_texts());
      throw;
    }
    return list.release();
  });
}

PyObject* kp_get_all_keywords(PyObject* self, PyObject*) {
  return guard([&] {
    ProcessorCall call(self, Borrow::kShared);
    Ref dict = own(PyDict_New());
    list_keywords(call.value().trie(), [&](std::string_view keyword, std::string_view clean_name) {
      Ref k = new_str(keyword);
      Ref v = new_str(clean_name);
      if (PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) throw_error_set();
    });
    return dict.release();
  });
}

PyObject* kp_set_non_word_boundaries(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return method<1>("set_non_word_boundaries", 1, {"boundaries"}, 0, Borrow::kExclusive, self, args, nargs, kwnames,
                   [&](KeywordProcessor& kp, Arguments& a) -> PyObject* {
    std::vector<uint32_t> chars = to_char_sequence(a[0], "boundaries");
    kp.set_non_word_boundaries(chars);
    Py_RETURN_NONE;
  });
}

PyObject* kp_add_non_word_boundary(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return method<1>("add_non_word_boundary", 1, {"boundary"}, 0, Borrow::kExclusive, self, args, nargs, kwnames,
                   [&](KeywordProcessor& kp, Arguments& a) -> PyObject* {
    uint32_t c = to_char(a[0], "boundary");
    kp.add_non_word_boundary(c);
    Py_RETURN_NONE;
  });
}

PyObject* kp_setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return method<1>("__setstate__", 1, {"state"}, 0, Borrow::kExclusive, self, args, nargs, kwnames,
                   [&](KeywordProcessor& kp, Arguments& a) -> PyObject* {
    std::string_view state = to_byte_string(a[0], "state");
    DecodedProcessor decoded = decode_processor(state);
    kp.replace_state(std::move(decoded.words), std::move(decoded.trie),
                               decoded.case_sensitive, decoded.allow_overlaps);
    Py_RETURN_NONE;
  });
}

PyObject* kp_getstate(PyObject* self, PyObject*) {
  return guard([&] {
    ProcessorCall call(self, Borrow::kShared);
    return new_bytes(encode_processor(call.value())).release();
  });
}

PyMethodDef kp_methods[] = {
    fast_method_def("add_keyword", kp_add_keyword, "add_keyword($self, keyword, clean_name=None)\n--\n\n"),
    fast_method_def("remove_keyword", kp_remove_keyword, "remove_keyword($self, keyword)\n--\n\n"),
    fast_method_def("extract_keywords", kp_extract_keywords, "extract_keywords($self, text, threshold=None)\n--\n\n"),
    fast_method_def("parallel_extract_keywords_from_texts", kp_parallel_extract,
                    "parallel_extract_keywords_from_texts($self, texts, threshold=None)\n--\n\n"),
    fast_method_def("replace_keywords", kp_replace_keywords, "replace_keywords($self, text, threshold=None)\n--\n\n"),
    fast_method_def("parallel_replace_keywords_from_texts", kp_parallel_replace,
                    "parallel_replace_keywords_from_texts($self, texts, threshold=None)\n--\n\n"),
    {"get_all_keywords", kp_get_all_keywords, METH_NOARGS, "get_all_keywords($self)\n--\n\n"},
    fast_method_def("set_non_word_boundaries", kp_set_non_word_boundaries,
                    "set_non_word_boundaries($self, boundaries)\n--\n\n"),
    fast_method_def("add_non_word_boundary", kp_add_non_word_boundary,
                    "add_non_word_boundary($self, boundary)\n--\n\n"),
    fast_method_def("__setstate__", kp_setstate, "__setstate__($self, state)\n--\n\n"),
    {"__getstate__", kp_getstate, METH_NOARGS, "__getstate__($self)\n--\n\n"},
    fast_method_def("extract_column", kp_extract_column,
                    "extract_column($self, texts, threshold=None, *, offsets='chars')\n--\n\n"),
    fast_method_def("replace_column", kp_replace_column, "replace_column($self, texts, threshold=None)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kp_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(kp_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(kp_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(kp_repr)},
    {Py_mp_length, reinterpret_cast<void*>(kp_length)},
    {Py_tp_methods, kp_methods},
    {0, nullptr},
};

PyTypeObject* g_type = nullptr;
std::string g_doc;

}  // namespace

PyTypeObject* processor_type() {
  if (g_type == nullptr) {
    PyTypeObject* t = make_type("kwsieve.KeywordProcessor", kClass, "(case_sensitive=False, allow_overlaps=False)",
                                &g_doc, kp_slots, static_cast<int>(sizeof(ProcessorObject)));
    if (g_type == nullptr) {
      g_type = t;
    } else {
      Py_DECREF(t);
    }
  }
  return g_type;
}

}  // namespace kwsieve::py
