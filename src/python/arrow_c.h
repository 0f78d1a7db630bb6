// The Arrow C data and stream interfaces: the ABI structs exactly as Arrow publishes them
// (they are meant to be copied into each producer and consumer), and the names of the
// PyCapsules that carry them between Python libraries.
//
// Ownership: whoever holds a struct whose `release` is not null owns it and must call
// `release` exactly once. Moving a struct is a plain copy followed by setting the source's
// `release` to null. A capsule's destructor releases what is left in it, so a consumer
// takes a struct by moving it out.
#pragma once

#include <cstdint>

extern "C" {

#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

struct ArrowSchema {
  // Array type description
  const char* format;
  const char* name;
  const char* metadata;
  int64_t flags;
  int64_t n_children;
  struct ArrowSchema** children;
  struct ArrowSchema* dictionary;

  // Release callback
  void (*release)(struct ArrowSchema*);
  // Opaque producer-specific data
  void* private_data;
};

struct ArrowArray {
  // Array data description
  int64_t length;
  int64_t null_count;
  int64_t offset;
  int64_t n_buffers;
  int64_t n_children;
  const void** buffers;
  struct ArrowArray** children;
  struct ArrowArray* dictionary;

  // Release callback
  void (*release)(struct ArrowArray*);
  // Opaque producer-specific data
  void* private_data;
};

#endif  // ARROW_C_DATA_INTERFACE

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE

struct ArrowArrayStream {
  // Callbacks providing stream functionality
  int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
  int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
  const char* (*get_last_error)(struct ArrowArrayStream*);

  // Release callback
  void (*release)(struct ArrowArrayStream*);

  // Opaque producer-specific data
  void* private_data;
};

#endif  // ARROW_C_STREAM_INTERFACE
}

namespace kwsieve::py::arrow {

inline constexpr const char kSchemaCapsule[] = "arrow_schema";
inline constexpr const char kArrayCapsule[] = "arrow_array";
inline constexpr const char kStreamCapsule[] = "arrow_array_stream";

}  // namespace kwsieve::py::arrow
