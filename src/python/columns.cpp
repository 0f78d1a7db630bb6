// extract_column / replace_column: string columns in through the Arrow PyCapsule interface
// (or a list of str), result columns out through it, the work on the pool without the
// interpreter lock.
//
// The call imports everything under the lock: it moves the producer's structs out of
// their capsules (or copies the list, holding every str), notes where each chunk's
// buffers are, and builds the read view. Then it lets go of the lock while the pool scans
// blocks of rows and the result chunks are assembled; the receiver's shared borrow keeps
// mutators out meanwhile, and nothing in that stretch touches a Python object. Errors are
// raised only once the lock is back, for the first failing row, before any result exists.
#include "python/columns.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/cancel.h"
#include "engine/code_units.h"
#include "engine/columns.h"
#include "engine/extract.h"
#include "engine/processor.h"
#include "engine/read_view.h"
#include "engine/utf8.h"
#include "pool/pool.h"
#include "python/arrow_c.h"
#include "python/frame.h"
#include "python/interrupt.h"
#include "python/objects.h"

namespace kwsieve::py {

namespace {

constexpr const char kClass[] = "KeywordProcessor";

// ---- imported input ----

// One chunk of the input: an Arrow array of strings, or a list's items.
struct InputChunk {
  enum Kind { kString, kLargeString, kStringView, kList };
  Kind kind;
  std::size_t first_row;  // index of its first text in the whole column
  std::size_t length;
  // Arrow arrays: positions are offset + i.
  std::size_t offset = 0;
  const uint8_t* validity = nullptr;  // null when no text is null
  const void* offsets = nullptr;      // int32 / int64 offsets, or 16-byte views
  const char* data = nullptr;
  const char* const* variadic = nullptr;  // string_view data buffers
  const int64_t* variadic_sizes = nullptr;
  std::size_t n_variadic = 0;
  // A list: one entry per item, nothing for None.
  const std::optional<CodeUnits>* items = nullptr;
};

// Why a row could not be read.
enum class RowFault : uint8_t { kNone, kBadOffsets, kInvalidUtf8, kSurrogate };

// Strict UTF-8, with runs of ASCII checked eight bytes at a time.
bool valid_utf8(std::string_view s, bool& ascii) {
  const char* p = s.data();
  std::size_t n = s.size();
  std::size_t i = 0;
  while (n - i >= 8) {
    uint64_t w;
    std::memcpy(&w, p + i, 8);
    if (w & 0x8080808080808080ull) break;
    i += 8;
  }
  while (i < n && static_cast<unsigned char>(p[i]) < 0x80) ++i;
  ascii = i == n;
  return ascii || check_utf8(s.substr(i)).ok;
}

// Reads row i of a chunk as UTF-8: the text, or nothing for a null (fault stays kNone), or
// nothing with the fault that makes it unreadable. `buffer` holds an encoded list item.
std::optional<std::string_view> read_row(const InputChunk& c, std::size_t i, std::string& buffer, bool& ascii,
                                         RowFault& fault) {
  fault = RowFault::kNone;
  ascii = false;
  if (c.kind == InputChunk::kList) {
    const std::optional<CodeUnits>& units = c.items[i];
    if (!units) return std::nullopt;
    ascii = units->ascii();
    std::optional<std::string_view> utf8 = units->utf8(buffer);
    if (!utf8) fault = RowFault::kSurrogate;
    return utf8;
  }
  const std::size_t at = c.offset + i;
  if (c.validity != nullptr && !((c.validity[at >> 3] >> (at & 7)) & 1)) return std::nullopt;
  std::string_view text;
  if (c.kind == InputChunk::kStringView) {
    const auto* view = static_cast<const unsigned char*>(c.offsets) + 16 * at;
    int32_t size, index, start;
    std::memcpy(&size, view, 4);
    if (size < 0) {
      fault = RowFault::kBadOffsets;
      return std::nullopt;
    }
    if (size <= 12) {
      text = std::string_view(reinterpret_cast<const char*>(view + 4), static_cast<std::size_t>(size));
    } else {
      std::memcpy(&index, view + 8, 4);
      std::memcpy(&start, view + 12, 4);
      if (index < 0 || static_cast<std::size_t>(index) >= c.n_variadic || start < 0 ||
          int64_t{start} + size > c.variadic_sizes[index] || c.variadic[index] == nullptr) {
        fault = RowFault::kBadOffsets;
        return std::nullopt;
      }
      text = std::string_view(c.variadic[index] + start, static_cast<std::size_t>(size));
    }
  } else {
    int64_t begin, end;
    if (c.kind == InputChunk::kString) {
      begin = static_cast<const int32_t*>(c.offsets)[at];
      end = static_cast<const int32_t*>(c.offsets)[at + 1];
    } else {
      begin = static_cast<const int64_t*>(c.offsets)[at];
      end = static_cast<const int64_t*>(c.offsets)[at + 1];
    }
    // The producer's offsets are all there is to say how large its data buffer is; the
    // least they must be is in order.
    if (begin < 0 || end < begin || (end > begin && c.data == nullptr) ||
        static_cast<uint64_t>(end) > SIZE_MAX) {
      fault = RowFault::kBadOffsets;
      return std::nullopt;
    }
    text = std::string_view(c.data == nullptr ? "" : c.data + begin, static_cast<std::size_t>(end - begin));
  }
  if (!valid_utf8(text, ascii)) {
    fault = RowFault::kInvalidUtf8;
    return std::nullopt;
  }
  return text;
}

// Releases an imported struct that we still own.
template <class T>
void release(T& s) {
  if (s.release != nullptr) s.release(&s);
}

// A readable name for an Arrow format string, for the error about a column of another type.
std::string format_name(const char* format) {
  static const struct {
    const char* format;
    const char* name;
  } names[] = {
      {"n", "null"},       {"b", "bool"},         {"c", "int8"},          {"C", "uint8"},
      {"s", "int16"},      {"S", "uint16"},       {"i", "int32"},         {"I", "uint32"},
      {"l", "int64"},      {"L", "uint64"},       {"e", "float16"},       {"f", "float32"},
      {"g", "float64"},    {"z", "binary"},       {"Z", "large_binary"},  {"vz", "binary_view"},
      {"tdD", "date32"},   {"tdm", "date64"},     {"+l", "list"},         {"+L", "large_list"},
      {"+s", "struct"},    {"+m", "map"},         {"+vl", "list_view"},
  };
  if (format == nullptr) format = "";
  for (const auto& n : names) {
    if (std::strcmp(n.format, format) == 0) return n.name;
  }
  return std::string("Arrow format '") + format + "'";
}

// The type's name; of a dictionary's values only the first level is named.
std::string type_name(const ArrowSchema& schema) {
  std::string name = format_name(schema.format);
  if (schema.dictionary == nullptr) return name;
  return "dictionary of " + format_name(schema.dictionary->format) + " (indices " + name + ")";
}

// The whole input, owned for the call: imported Arrow structs (released at the end, with
// the lock held, which some producers' release callbacks want), or the list copy that
// holds every str.
class Input {
 public:
  Input() = default;
  Input(const Input&) = delete;
  Input& operator=(const Input&) = delete;
  ~Input() {
    for (ArrowArray& a : arrays_) release(a);
    release(schema_);
  }

  std::vector<InputChunk> chunks;
  std::size_t rows = 0;
  bool from_stream = false;

  void import(PyObject* o, const char* name);
  // The str at a row of a list input (for the error about a lone surrogate).
  PyObject* list_item(std::size_t row) const { return PyList_GET_ITEM(list_.get(), static_cast<Py_ssize_t>(row)); }

 private:
  void import_list(PyObject* o, const char* name);
  void import_stream(PyObject* capsule, const char* name);
  void import_array(PyObject* schema_capsule, PyObject* array_capsule, const char* name);
  InputChunk::Kind check_schema(const char* name) const;
  // Takes over `array` (releasing it if that fails).
  void own_array(ArrowArray& array);
  // Notes where the last owned array's buffers are, after checking what can be checked.
  void add_chunk(InputChunk::Kind kind);

  ArrowSchema schema_{};
  std::vector<ArrowArray> arrays_;
  Ref list_;
  std::vector<std::optional<CodeUnits>> items_;
};

[[noreturn]] void bad_input(const char* name, const char* format, const std::string& what) {
  PyErr_Format(PyExc_TypeError, format, what.c_str());
  fail_argument(name);
}

[[noreturn]] void bad_array(const char* message) {
  PyErr_Format(PyExc_ValueError, "the Arrow array is malformed: %s", message);
  throw_error_set();
}

InputChunk::Kind Input::check_schema(const char* name) const {
  const char* f = schema_.format != nullptr ? schema_.format : "";
  if (schema_.dictionary == nullptr) {
    if (std::strcmp(f, "u") == 0) return InputChunk::kString;
    if (std::strcmp(f, "U") == 0) return InputChunk::kLargeString;
    if (std::strcmp(f, "vu") == 0) return InputChunk::kStringView;
  }
  bad_input(name, "expected a column of strings (string, large_string or string_view), got %s", type_name(schema_));
}

void Input::own_array(ArrowArray& array) {
  try {
    arrays_.push_back(array);
  } catch (...) {
    release(array);
    throw;
  }
  array.release = nullptr;
}

void Input::add_chunk(InputChunk::Kind kind) {
  const ArrowArray& a = arrays_.back();
  if (a.length < 0 || a.offset < 0 || a.length > INT64_MAX - a.offset - 1) bad_array("negative or overflowing length");
  if (static_cast<uint64_t>(a.offset + a.length) >= SIZE_MAX / 16) bad_array("too long");
  if (a.buffers == nullptr || a.n_buffers < 3 || (kind != InputChunk::kStringView && a.n_buffers != 3)) {
    bad_array("wrong number of buffers for its type");
  }
  InputChunk c{};
  c.kind = kind;
  c.first_row = rows;
  c.length = static_cast<std::size_t>(a.length);
  c.offset = static_cast<std::size_t>(a.offset);
  if (a.null_count != 0) c.validity = static_cast<const uint8_t*>(a.buffers[0]);
  c.offsets = a.buffers[1];
  if (kind == InputChunk::kStringView) {
    c.n_variadic = static_cast<std::size_t>(a.n_buffers - 3);
    c.variadic = reinterpret_cast<const char* const*>(a.buffers + 2);
    c.variadic_sizes = static_cast<const int64_t*>(a.buffers[a.n_buffers - 1]);
    if (c.n_variadic > 0 && c.variadic_sizes == nullptr) bad_array("no variadic buffer sizes");
  } else {
    c.data = static_cast<const char*>(a.buffers[2]);
  }
  if (c.length == 0) {
    c.validity = nullptr;
  } else if (c.offsets == nullptr) {
    bad_array("no offsets");
  }
  chunks.push_back(c);
  rows += c.length;
}

void Input::import_stream(PyObject* capsule, const char* name) {
  auto* source = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, arrow::kStreamCapsule));
  if (source == nullptr) fail_argument(name);
  if (source->release == nullptr) bad_array("the stream was already consumed");
  // Moved out: the capsule's destructor then finds nothing to release.
  ArrowArrayStream stream = *source;
  source->release = nullptr;
  struct Closer {
    ArrowArrayStream& s;
    ~Closer() { release(s); }
  } closer{stream};
  auto stream_error = [&](int code) {
    const char* message = stream.get_last_error ? stream.get_last_error(&stream) : nullptr;
    PyErr_Format(PyExc_RuntimeError, "reading the Arrow stream failed (error %d): %s", code,
                 message != nullptr ? message : "no message");
    throw_error_set();
  };
  if (int code = stream.get_schema(&stream, &schema_)) stream_error(code);
  const InputChunk::Kind kind = check_schema(name);
  for (;;) {
    ArrowArray array{};
    if (int code = stream.get_next(&stream, &array)) stream_error(code);
    if (array.release == nullptr) break;
    own_array(array);
    add_chunk(kind);
  }
  from_stream = true;
}

void Input::import_array(PyObject* schema_capsule, PyObject* array_capsule, const char* name) {
  auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(schema_capsule, arrow::kSchemaCapsule));
  if (schema == nullptr) fail_argument(name);
  auto* array = static_cast<ArrowArray*>(PyCapsule_GetPointer(array_capsule, arrow::kArrayCapsule));
  if (array == nullptr) fail_argument(name);
  if (schema->release == nullptr || array->release == nullptr) bad_array("the capsule was already consumed");
  schema_ = *schema;
  schema->release = nullptr;
  own_array(*array);
  add_chunk(check_schema(name));
}

void Input::import_list(PyObject* o, const char* name) {
  // A copy holds every str for the call: the caller's list may change while the lock is
  // released.
  list_ = own(PySequence_List(o));
  const Py_ssize_t n = PyList_GET_SIZE(list_.get());
  items_.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyList_GET_ITEM(list_.get(), i);
    if (item == Py_None) {
      items_.emplace_back();
      continue;
    }
    if (!PyUnicode_Check(item)) {
      PyErr_Format(PyExc_TypeError, "item %zd is '%s', expected a str or None", i, Py_TYPE(item)->tp_name);
      fail_argument(name);
    }
    items_.emplace_back(str_units(item, name));
  }
  InputChunk c{};
  c.kind = InputChunk::kList;
  c.length = items_.size();
  c.items = items_.data();
  rows = c.length;
  chunks.push_back(c);
}

// o.attribute, or nothing if it has none.
Ref optional_attribute(PyObject* o, PyObject* attribute, const char* name) {
  Ref value = Ref::steal(PyObject_GetAttr(o, attribute));
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) fail_argument(name);
    PyErr_Clear();
  }
  return value;
}

void Input::import(PyObject* o, const char* name) {
  // A single array is taken as one when offered, so that its result is one array too.
  static PyObject* array_name = nullptr;
  static PyObject* stream_name = nullptr;
  if (array_name == nullptr) array_name = check(PyUnicode_InternFromString("__arrow_c_array__"));
  if (stream_name == nullptr) stream_name = check(PyUnicode_InternFromString("__arrow_c_stream__"));
  if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) {
    import_list(o, name);
    return;
  }
  Ref method = optional_attribute(o, array_name, name);
  if (method) {
    Ref pair = own(PyObject_CallNoArgs(method.get()));
    if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2) {
      bad_input(name, "__arrow_c_array__() returned %s, expected a pair of capsules", Py_TYPE(pair.get())->tp_name);
    }
    import_array(PyTuple_GET_ITEM(pair.get(), 0), PyTuple_GET_ITEM(pair.get(), 1), name);
    return;
  }
  method = optional_attribute(o, stream_name, name);
  if (method) {
    Ref capsule = own(PyObject_CallNoArgs(method.get()));
    import_stream(capsule.get(), name);
    return;
  }
  bad_input(name, "expected an Arrow string column or a list of str, got '%s'", Py_TYPE(o)->tp_name);
}

// ---- the work ----

// Rows are scanned in blocks that never straddle chunks; each block keeps its own output
// until the chunk is assembled, so workers share nothing but the input.
struct Block {
  std::size_t chunk = 0;
  std::size_t begin = 0;  // rows of the chunk
  std::size_t end = 0;
  // extraction: counts[i] matches of row begin + i, kNull for a null row
  std::vector<KeywordMatch> matches;
  std::vector<uint32_t> counts;
  // replacement: the texts back to back, sizes[i] bytes for row begin + i (kNull: null)
  std::string text;
  std::vector<std::size_t> sizes;
  // the first row that could not be read
  std::size_t fault_row = SIZE_MAX;
  RowFault fault = RowFault::kNone;
};
constexpr uint32_t kNullCount = UINT32_MAX;
constexpr std::size_t kNullSize = SIZE_MAX;
constexpr std::size_t kBlockRows = 2048;

enum class OffsetKind { kChars, kBytes, kFolded };

struct Job {
  const Input& input;
  const ReadView& view;
  std::optional<float> threshold;
  OffsetKind offsets;
  bool extraction;
  std::vector<Block> blocks;
  // Raised by a signal handler's exception: the workers give up and the call fails
  // without a result. Its checks take the lock back for a moment (Unlocked).
  Interrupt interrupt{};

  void scan(Block& b, Extractor& x, std::string& buffer) const;
};

void Job::scan(Block& b, Extractor& x, std::string& buffer) const {
  const InputChunk& c = input.chunks[b.chunk];
  const std::size_t n = b.end - b.begin;
  if (extraction) {
    b.counts.reserve(n);
  } else {
    b.sizes.reserve(n);
  }
  for (std::size_t r = b.begin; r < b.end; ++r) {
    bool ascii;
    RowFault fault;
    std::optional<std::string_view> text = read_row(c, r, buffer, ascii, fault);
    if (fault != RowFault::kNone) {
      b.fault = fault;
      b.fault_row = c.first_row + r;
      return;
    }
    if (extraction) {
      if (!text) {
        b.counts.push_back(kNullCount);
        continue;
      }
      const std::size_t from = b.matches.size();
      if (offsets == OffsetKind::kFolded) {
        x.extract(*text, threshold, b.matches);
      } else {
        x.extract_spans(*text, threshold, b.matches);
        if (offsets == OffsetKind::kChars && !ascii && b.matches.size() > from) to_char_offsets(*text, b.matches, from);
      }
      b.counts.push_back(static_cast<uint32_t>(b.matches.size() - from));
    } else {
      if (!text) {
        b.sizes.push_back(kNullSize);
        continue;
      }
      const std::size_t from = b.text.size();
      if (!x.replace_into(*text, threshold, b.text)) b.text.append(*text);
      b.sizes.push_back(b.text.size() - from);
    }
  }
}

// ---- results ----

// What a ColumnResult holds: one result chunk per input chunk, shared with every array
// exported from it, so that an exported array outlives the Python object if it must.
struct ColumnData {
  bool extraction = true;
  bool from_stream = false;
  OffsetKind offsets = OffsetKind::kChars;
  std::size_t rows = 0;
  std::vector<std::shared_ptr<const MatchColumn>> matches;
  std::vector<std::shared_ptr<const TextColumn>> texts;
  // All chunks as one, made on the first request for a single array.
  std::shared_ptr<const MatchColumn> all_matches;
  std::shared_ptr<const TextColumn> all_texts;

  std::size_t chunk_count() const { return extraction ? matches.size() : texts.size(); }
};

struct ColumnObject {
  PyObject_HEAD
  std::shared_ptr<ColumnData> value;
};

// All chunks of a stream must have one type, so a chunk that needs 64-bit offsets makes
// them all use them.
template <class Column, class Get>
void widen_together(std::vector<std::shared_ptr<Column>>& chunks, Get get) {
  bool wide = false;
  for (const auto& c : chunks) wide |= get(*c).wide();
  if (!wide) return;
  for (auto& c : chunks) get(*c).widen();
}

// Runs the job and assembles its chunks; called without the interpreter lock.
void run_job(Job& job, ColumnData& out) {
  const Input& input = job.input;
  for (std::size_t ci = 0; ci < input.chunks.size(); ++ci) {
    const std::size_t n = input.chunks[ci].length;
    for (std::size_t b = 0; b < n; b += kBlockRows) {
      Block& block = job.blocks.emplace_back();
      block.chunk = ci;
      block.begin = b;
      block.end = std::min(n, b + kBlockRows);
    }
  }
  // The calling thread waits here until every block is done, checking for signals; if a
  // handler raises, the blocks stay incomplete and Cancelled ends the call.
  if (!job.blocks.empty()) run_pieces(job.interrupt, job.blocks.size(), [&](std::size_t begin, std::size_t end, Cancel& cancel) {
    Extractor x(job.view);
    x.set_cancel(&cancel);
    std::string buffer;
    for (std::size_t i = begin; i < end; ++i) {
      cancel.check();
      job.scan(job.blocks[i], x, buffer);
    }
  });
  for (const Block& b : job.blocks) {
    if (b.fault != RowFault::kNone) return;
  }
  std::vector<std::shared_ptr<MatchColumn>> matches;
  std::vector<std::shared_ptr<TextColumn>> texts;
  std::size_t at = 0;
  for (std::size_t ci = 0; ci < input.chunks.size(); ++ci) {
    if (job.extraction) {
      MatchColumnBuilder builder;
      for (; at < job.blocks.size() && job.blocks[at].chunk == ci; ++at) {
        const Block& b = job.blocks[at];
        std::size_t m = 0;
        for (uint32_t count : b.counts) {
          if (count == kNullCount) {
            builder.add_null();
          } else {
            builder.add(b.matches.data() + m, count);
            m += count;
          }
        }
      }
      matches.push_back(std::make_shared<MatchColumn>(builder.finish()));
    } else {
      TextColumnBuilder builder;
      std::size_t rows = 0, bytes = 0;
      for (std::size_t k = at; k < job.blocks.size() && job.blocks[k].chunk == ci; ++k) {
        rows += job.blocks[k].sizes.size();
        bytes += job.blocks[k].text.size();
      }
      builder.reserve(rows, bytes);
      for (; at < job.blocks.size() && job.blocks[at].chunk == ci; ++at) {
        const Block& b = job.blocks[at];
        std::size_t t = 0;
        for (std::size_t size : b.sizes) {
          if (size == kNullSize) {
            builder.add_null();
          } else {
            builder.add(std::string_view(b.text).substr(t, size));
            t += size;
          }
        }
      }
      texts.push_back(std::make_shared<TextColumn>(builder.finish()));
    }
    // Each chunk's blocks are done with.
  }
  widen_together(matches, [](MatchColumn& c) -> Offsets& { return c.lists; });
  widen_together(matches, [](MatchColumn& c) -> Offsets& { return c.keyword_offsets; });
  widen_together(texts, [](TextColumn& c) -> Offsets& { return c.offsets; });
  out.matches.assign(matches.begin(), matches.end());
  out.texts.assign(texts.begin(), texts.end());
}

PyTypeObject* g_column_type = nullptr;

void raise_fault(const Job& job, const Input& input) {
  for (const Block& b : job.blocks) {
    switch (b.fault) {
      case RowFault::kNone:
        continue;
      case RowFault::kSurrogate:
        raise_surrogate_error(input.list_item(b.fault_row));
      case RowFault::kInvalidUtf8:
        PyErr_Format(PyExc_ValueError, "row %zu of the column is not valid UTF-8", b.fault_row);
        throw_error_set();
      case RowFault::kBadOffsets:
        PyErr_Format(PyExc_ValueError, "row %zu of the column has offsets out of order or out of range", b.fault_row);
        throw_error_set();
    }
  }
}

OffsetKind to_offset_kind(PyObject* o) {
  if (o == nullptr) return OffsetKind::kChars;
  if (!PyUnicode_Check(o)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'str'", Py_TYPE(o)->tp_name);
    fail_argument("offsets");
  }
  if (PyUnicode_CompareWithASCIIString(o, "chars") == 0) return OffsetKind::kChars;
  if (PyUnicode_CompareWithASCIIString(o, "bytes") == 0) return OffsetKind::kBytes;
  if (PyUnicode_CompareWithASCIIString(o, "folded") == 0) return OffsetKind::kFolded;
  PyErr_Format(PyExc_ValueError, "offsets must be 'chars', 'bytes' or 'folded', not %R", o);
  throw_error_set();
}

std::optional<float> to_checked_threshold(PyObject* o) {
  std::optional<float> t = to_optional_threshold(o, "threshold");
  if (t && !(*t >= 0.0f && *t <= 1.0f)) {
    PyErr_Format(PyExc_ValueError, "threshold must be between 0 and 1, not %R", o);
    throw_error_set();
  }
  return t;
}

// The frame of both methods: `texts`, `threshold` by position or name, `offsets` (extraction
// only) by name only. A list's lone surrogates are row faults, reported after the work
// like an Arrow column's invalid UTF-8, so `texts` is no text parameter of the frame's.
PyObject* column_method(bool extraction, PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"texts", "threshold", "offsets"};
  const Signature sig = {kClass, extraction ? "extract_column" : "replace_column", names, extraction ? 3 : 2, 1, 0, 2};
  return fast_method<ProcessorObject>(sig, processor_type(), Borrow::kShared, self, args, nargs, kwnames,
                                      [&](KeywordProcessor& kp, Arguments& a) -> PyObject* {
    Input input;
    input.import(a[0], "texts");
    const std::optional<float> threshold = to_checked_threshold(a[1]);
    const OffsetKind offsets = to_offset_kind(a[2]);
    const ReadView& view = kp.read_view();  // built now, under the lock, if it must be

    auto data = std::make_shared<ColumnData>();
    data->extraction = extraction;
    data->from_stream = input.from_stream;
    data->offsets = offsets;
    data->rows = input.rows;
    Job job{input, view, threshold, offsets, extraction, {}, {}};
    {
      Unlocked unlocked(job.interrupt);
      run_job(job, *data);
    }
    raise_fault(job, input);
    job.blocks = {};
    Ref obj = Ref::steal(PyType_GenericAlloc(column_type(), 0));
    if (!obj) throw_error_set();
    new (&reinterpret_cast<ColumnObject*>(obj.get())->value) std::shared_ptr<ColumnData>(std::move(data));
    return obj.release();
  });
}

// ---- export through the C data interface ----

// Zero bytes for the buffers of empty arrays, which must still not be null.
alignas(64) const uint8_t kEmpty[64] = {};

const void* or_empty(const void* p) { return p != nullptr ? p : kEmpty; }

struct SchemaNode {
  std::string format;
  std::string name;
  std::vector<ArrowSchema*> children;
  std::vector<ArrowSchema*> child_ptrs;
};

void release_schema(ArrowSchema* s) {
  auto* node = static_cast<SchemaNode*>(s->private_data);
  for (ArrowSchema* c : node->children) {
    release(*c);
    delete c;
  }
  delete node;
  s->release = nullptr;
}

// Fills `out` with a schema node that owns `children` (each already filled).
void make_schema(ArrowSchema* out, const char* format, const char* name, int64_t flags,
                 std::vector<ArrowSchema*> children) {
  auto* node = new SchemaNode{format, name, std::move(children), {}};
  *out = ArrowSchema{};
  out->format = node->format.c_str();
  out->name = node->name.c_str();
  out->flags = flags;
  out->n_children = static_cast<int64_t>(node->children.size());
  out->children = node->children.empty() ? nullptr : node->children.data();
  out->release = release_schema;
  out->private_data = node;
}

// A child schema on the heap, released by its parent. On failure nothing leaks: children
// made so far are released by the caller's guard below.
class SchemaChildren {
 public:
  ~SchemaChildren() {
    for (ArrowSchema* c : list_) {
      release(*c);
      delete c;
    }
  }
  void add(const char* format, const char* name, int64_t flags, std::vector<ArrowSchema*> children = {}) {
    auto holder = std::make_unique<ArrowSchema>();
    list_.reserve(list_.size() + 1);
    make_schema(holder.get(), format, name, flags, std::move(children));
    list_.push_back(holder.release());
  }
  std::vector<ArrowSchema*> take() { return std::exchange(list_, {}); }

 private:
  std::vector<ArrowSchema*> list_;
};

void export_schema(const ColumnData& data, ArrowSchema* out) {
  if (data.extraction) {
    const bool wide_names = !data.matches.empty() && data.matches[0]->keyword_offsets.wide();
    const bool wide_lists = !data.matches.empty() && data.matches[0]->lists.wide();
    SchemaChildren fields;
    // Every field is marked nullable (though only the lists hold nulls) so that the type
    // equals the one Arrow libraries spell by default, which other tables will have.
    fields.add(wide_names ? "U" : "u", "keyword", ARROW_FLAG_NULLABLE);
    fields.add("f", "similarity", ARROW_FLAG_NULLABLE);
    fields.add("l", "start", ARROW_FLAG_NULLABLE);
    fields.add("l", "end", ARROW_FLAG_NULLABLE);
    SchemaChildren item;
    item.add("+s", "item", ARROW_FLAG_NULLABLE, fields.take());
    make_schema(out, wide_lists ? "+L" : "+l", "", ARROW_FLAG_NULLABLE, item.take());
  } else {
    const bool wide = !data.texts.empty() && data.texts[0]->offsets.wide();
    make_schema(out, wide ? "U" : "u", "", ARROW_FLAG_NULLABLE, {});
  }
}

struct ArrayNode {
  std::shared_ptr<const void> keep;  // the chunk whose buffers these are
  std::vector<const void*> buffers;
  std::vector<ArrowArray*> children;
};

void release_array(ArrowArray* a) {
  auto* node = static_cast<ArrayNode*>(a->private_data);
  for (ArrowArray* c : node->children) {
    release(*c);
    delete c;
  }
  delete node;
  a->release = nullptr;
}

void make_array(ArrowArray* out, std::shared_ptr<const void> keep, std::size_t length, std::size_t null_count,
                std::vector<const void*> buffers, std::vector<ArrowArray*> children) {
  auto* node = new ArrayNode{std::move(keep), std::move(buffers), std::move(children)};
  *out = ArrowArray{};
  out->length = static_cast<int64_t>(length);
  out->null_count = static_cast<int64_t>(null_count);
  out->n_buffers = static_cast<int64_t>(node->buffers.size());
  out->buffers = node->buffers.data();
  out->n_children = static_cast<int64_t>(node->children.size());
  out->children = node->children.empty() ? nullptr : node->children.data();
  out->release = release_array;
  out->private_data = node;
}

class ArrayChildren {
 public:
  ~ArrayChildren() {
    for (ArrowArray* c : list_) {
      release(*c);
      delete c;
    }
  }
  void add(std::shared_ptr<const void> keep, std::size_t length, std::vector<const void*> buffers,
           std::vector<ArrowArray*> children = {}) {
    auto holder = std::make_unique<ArrowArray>();
    list_.reserve(list_.size() + 1);
    make_array(holder.get(), std::move(keep), length, 0, std::move(buffers), std::move(children));
    list_.push_back(holder.release());
  }
  std::vector<ArrowArray*> take() { return std::exchange(list_, {}); }

 private:
  std::vector<ArrowArray*> list_;
};

void export_matches(const std::shared_ptr<const MatchColumn>& c, ArrowArray* out) {
  const std::size_t m = c->matches();
  ArrayChildren fields;
  fields.add(c, m, {nullptr, c->keyword_offsets.data(), or_empty(c->keyword_data.data())});
  fields.add(c, m, {nullptr, or_empty(c->similarity.data())});
  fields.add(c, m, {nullptr, or_empty(c->start.data())});
  fields.add(c, m, {nullptr, or_empty(c->end.data())});
  ArrayChildren item;
  item.add(c, m, {nullptr}, fields.take());
  make_array(out, c, c->size(), c->validity.null_count(), {c->validity.data(), c->lists.data()}, item.take());
}

void export_texts(const std::shared_ptr<const TextColumn>& c, ArrowArray* out) {
  make_array(out, c, c->size(), c->validity.null_count(),
             {c->validity.data(), c->offsets.data(), or_empty(c->data.data())}, {});
}

void export_chunk(const ColumnData& data, std::size_t i, ArrowArray* out) {
  if (data.extraction) {
    export_matches(data.matches[i], out);
  } else {
    export_texts(data.texts[i], out);
  }
}

// The stream hands out the chunks in order; it may outlive the Python object and be read
// on any thread, without the interpreter lock: it touches only the shared chunks.
struct StreamState {
  std::shared_ptr<const ColumnData> data;
  std::size_t next = 0;
  std::string error;
};

template <class F>
int stream_call(ArrowArrayStream* s, F&& f) {
  auto* state = static_cast<StreamState*>(s->private_data);
  try {
    f(*state);
    return 0;
  } catch (const std::bad_alloc&) {
    state->error = "out of memory";
    return ENOMEM;
  } catch (...) {
    state->error = "internal error";
    return EIO;
  }
}

int stream_get_schema(ArrowArrayStream* s, ArrowSchema* out) {
  return stream_call(s, [&](StreamState& st) { export_schema(*st.data, out); });
}

int stream_get_next(ArrowArrayStream* s, ArrowArray* out) {
  return stream_call(s, [&](StreamState& st) {
    if (st.next == st.data->chunk_count()) {
      *out = ArrowArray{};  // release null: the end
      return;
    }
    export_chunk(*st.data, st.next, out);
    ++st.next;
  });
}

const char* stream_get_last_error(ArrowArrayStream* s) {
  auto* state = static_cast<StreamState*>(s->private_data);
  return state->error.empty() ? nullptr : state->error.c_str();
}

void stream_release(ArrowArrayStream* s) {
  delete static_cast<StreamState*>(s->private_data);
  s->release = nullptr;
}

// Capsules own their struct: the destructor releases whatever a consumer left in it.
template <class T>
void capsule_destructor(PyObject* capsule, const char* name) {
  auto* s = static_cast<T*>(PyCapsule_GetPointer(capsule, name));
  if (s == nullptr) {
    PyErr_WriteUnraisable(capsule);
    return;
  }
  release(*s);
  delete s;
}
void schema_capsule_destructor(PyObject* c) { capsule_destructor<ArrowSchema>(c, arrow::kSchemaCapsule); }
void array_capsule_destructor(PyObject* c) { capsule_destructor<ArrowArray>(c, arrow::kArrayCapsule); }
void stream_capsule_destructor(PyObject* c) { capsule_destructor<ArrowArrayStream>(c, arrow::kStreamCapsule); }

template <class T, class Fill>
Ref new_capsule(const char* name, PyCapsule_Destructor destructor, Fill fill) {
  auto s = std::make_unique<T>();
  s->release = nullptr;
  Ref capsule = own(PyCapsule_New(s.get(), name, destructor));
  T* raw = s.release();  // the capsule owns it now
  fill(raw);
  return capsule;
}

Ref schema_capsule(const ColumnData& data) {
  return new_capsule<ArrowSchema>(arrow::kSchemaCapsule, schema_capsule_destructor,
                                  [&](ArrowSchema* s) { export_schema(data, s); });
}

// ---- the ColumnResult type ----

ColumnData& data_of(PyObject* self) { return *reinterpret_cast<ColumnObject*>(self)->value; }

void column_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<ColumnObject*>(self)->value.~shared_ptr();
  freefunc free = type->tp_free ? type->tp_free : PyObject_Free;
  free(self);
  Py_DECREF(type);
}

Py_ssize_t column_length(PyObject* self) { return static_cast<Py_ssize_t>(data_of(self).rows); }

PyObject* column_repr(PyObject* self) {
  const ColumnData& d = data_of(self);
  return PyUnicode_FromFormat("<kwsieve.columns.ColumnResult of %s: %zu texts in %zu chunk%s>",
                              d.extraction ? "extract_column" : "replace_column", d.rows, d.chunk_count(),
                              d.chunk_count() == 1 ? "" : "s");
}

// Requested schemas are not honoured: the result has one type, which every consumer reads.
bool parse_requested_schema(const char* func, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"requested_schema"};
  const Signature sig = {"ColumnResult", func, names, 1, 0};
  PyObject* a[1];
  match_fastcall(sig, args, nargs, kwnames, a);
  return true;
}

void concatenate(ColumnData& d) {
  if (d.extraction && !d.all_matches) {
    if (d.matches.size() == 1) {
      d.all_matches = d.matches[0];
      return;
    }
    MatchColumnBuilder builder;
    for (const auto& c : d.matches) builder.add_all(*c);
    d.all_matches = std::make_shared<MatchColumn>(builder.finish());
  } else if (!d.extraction && !d.all_texts) {
    if (d.texts.size() == 1) {
      d.all_texts = d.texts[0];
      return;
    }
    TextColumnBuilder builder;
    for (const auto& c : d.texts) builder.add_all(*c);
    d.all_texts = std::make_shared<TextColumn>(builder.finish());
  }
}

PyObject* column_c_array(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    parse_requested_schema("__arrow_c_array__", args, nargs, kwnames);
    ColumnData& d = data_of(self);
    concatenate(d);
    // The single array's schema must match its own offset widths, which may differ from
    // the chunks'.
    ColumnData one;
    one.extraction = d.extraction;
    if (d.extraction) {
      one.matches.push_back(d.all_matches);
    } else {
      one.texts.push_back(d.all_texts);
    }
    Ref schema = schema_capsule(one);
    Ref array = new_capsule<ArrowArray>(arrow::kArrayCapsule, array_capsule_destructor,
                                        [&](ArrowArray* a) { export_chunk(one, 0, a); });
    return own(PyTuple_Pack(2, schema.get(), array.get())).release();
  });
}

PyObject* column_c_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    parse_requested_schema("__arrow_c_stream__", args, nargs, kwnames);
    auto state = std::make_unique<StreamState>();
    state->data = reinterpret_cast<ColumnObject*>(self)->value;
    return new_capsule<ArrowArrayStream>(arrow::kStreamCapsule, stream_capsule_destructor,
                                         [&](ArrowArrayStream* s) {
                                           s->get_schema = stream_get_schema;
                                           s->get_next = stream_get_next;
                                           s->get_last_error = stream_get_last_error;
                                           s->private_data = state.release();
                                           s->release = stream_release;
                                         })
        .release();
  });
}

PyObject* column_c_schema(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* { return schema_capsule(data_of(self)).release(); });
}

PyObject* column_to_pylist(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    const ColumnData& d = data_of(self);
    Ref list = own(PyList_New(static_cast<Py_ssize_t>(d.rows)));
    Py_ssize_t row = 0;
    for (std::size_t ci = 0; ci < d.chunk_count(); ++ci) {
      if (d.extraction) {
        const MatchColumn& c = *d.matches[ci];
        const std::string_view names(c.keyword_data);
        for (std::size_t r = 0; r < c.size(); ++r) {
          if (!c.validity.valid(r)) {
            PyList_SET_ITEM(list.get(), row++, Py_NewRef(Py_None));
            continue;
          }
          const auto first = static_cast<std::size_t>(c.lists[r]);
          const auto last = static_cast<std::size_t>(c.lists[r + 1]);
          Ref matches = own(PyList_New(static_cast<Py_ssize_t>(last - first)));
          for (std::size_t i = first; i < last; ++i) {
            const auto k = static_cast<std::size_t>(c.keyword_offsets[i]);
            Ref keyword = new_str(names.substr(k, static_cast<std::size_t>(c.keyword_offsets[i + 1]) - k));
            Ref similarity = own(PyFloat_FromDouble(c.similarity[i]));
            Ref start = own(PyLong_FromLongLong(c.start[i]));
            Ref end = own(PyLong_FromLongLong(c.end[i]));
            PyObject* t = check(PyTuple_Pack(4, keyword.get(), similarity.get(), start.get(), end.get()));
            PyList_SET_ITEM(matches.get(), static_cast<Py_ssize_t>(i - first), t);
          }
          PyList_SET_ITEM(list.get(), row++, matches.release());
        }
      } else {
        const TextColumn& c = *d.texts[ci];
        for (std::size_t r = 0; r < c.size(); ++r) {
          PyObject* item = c.validity.valid(r) ? new_str(c.text(r)).release() : Py_NewRef(Py_None);
          PyList_SET_ITEM(list.get(), row++, item);
        }
      }
    }
    return list.release();
  });
}

// to_arrow() and to_polars() live in Python, beside the extension.
PyObject* call_helper(PyObject* self, const char* name) {
  return guard([&]() -> PyObject* {
    Ref module = own(PyImport_ImportModule("kwsieve.columns"));
    Ref f = own(PyObject_GetAttrString(module.get(), name));
    return PyObject_CallOneArg(f.get(), self);
  });
}
PyObject* column_to_arrow(PyObject* self, PyObject*) { return call_helper(self, "to_arrow"); }
PyObject* column_to_polars(PyObject* self, PyObject*) { return call_helper(self, "to_polars"); }

PyObject* column_get_num_chunks(PyObject* self, void*) { return PyLong_FromSize_t(data_of(self).chunk_count()); }
PyObject* column_get_chunked(PyObject* self, void*) { return PyBool_FromLong(data_of(self).from_stream); }

PyMethodDef column_methods[] = {
    {"to_pylist", column_to_pylist, METH_NOARGS,
     "to_pylist($self)\n--\n\n"},
    {"to_arrow", column_to_arrow, METH_NOARGS,
     "to_arrow($self)\n--\n\n"},
    {"to_polars", column_to_polars, METH_NOARGS, "to_polars($self)\n--\n\n"},
    {"__arrow_c_schema__", column_c_schema, METH_NOARGS, "__arrow_c_schema__($self)\n--\n\n"},
    fast_method_def("__arrow_c_array__", column_c_array, "__arrow_c_array__($self, requested_schema=None)\n--\n\n"),
    fast_method_def("__arrow_c_stream__", column_c_stream,
                    "__arrow_c_stream__($self, requested_schema=None)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef column_getset[] = {
    {"num_chunks", column_get_num_chunks, nullptr, "Chunks of the result, one per chunk of the input.", nullptr},
    {"chunked", column_get_chunked, nullptr, "Whether the texts came as a stream of chunks.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot column_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(column_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(column_repr)},
    {Py_mp_length, reinterpret_cast<void*>(column_length)},
    {Py_tp_methods, column_methods},
    {Py_tp_getset, column_getset},
    {0, nullptr},
};

}  // namespace

PyTypeObject* column_type() {
  if (g_column_type == nullptr) {
    // Made only by the column methods, so it has no constructor.
    PyType_Spec spec = {"kwsieve.columns.ColumnResult", static_cast<int>(sizeof(ColumnObject)), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, column_slots};
    PyTypeObject* t = reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(&spec)));
    if (g_column_type == nullptr) {
      g_column_type = t;
    } else {
      Py_DECREF(t);
    }
  }
  return g_column_type;
}

PyObject* kp_extract_column(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return column_method(true, self, args, nargs, kwnames);
}

PyObject* kp_replace_column(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return column_method(false, self, args, nargs, kwnames);
}

}  // namespace kwsieve::py
