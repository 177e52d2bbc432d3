// The Arrow C data interface and C stream interface: the three structs by
// which columnar data crosses from one library to another without a copy and
// without either side linking the other.
//
// The layout is an ABI fixed by the Arrow format; these declarations must
// stay field for field as they are. The include guards are the ones the
// format asks every copy of these structs to use, so that two producers'
// copies can meet in one translation unit.
//
// Ownership in brief: whoever receives a struct owns it and must call its
// release callback exactly once (a struct whose release is null is already
// released, or marks the end of a stream). A struct may be moved by copying
// its fields and setting the source's release to null.
#pragma once

#include <cstdint>

extern "C" {

#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

// The type of one array: a format string ("g" float64, "u" utf8, "+s"
// struct, ...), a name, and for nested types its children. For a
// dictionary-encoded field, format is the index type and dictionary the
// type of the values.
struct ArrowSchema {
    const char* format;
    const char* name;
    const char* metadata;
    int64_t flags;
    int64_t n_children;
    struct ArrowSchema** children;
    struct ArrowSchema* dictionary;
    void (*release)(struct ArrowSchema*);
    void* private_data;
};

// The data of one array: its buffers in the order the type's layout fixes
// (validity bitmap first, which may be null when null_count is 0), its
// children and, for a dictionary-encoded array, the dictionary's values.
struct ArrowArray {
    int64_t length;
    int64_t null_count;
    int64_t offset;
    int64_t n_buffers;
    int64_t n_children;
    const void** buffers;
    struct ArrowArray** children;
    struct ArrowArray* dictionary;
    void (*release)(struct ArrowArray*);
    void* private_data;
};

#endif  // ARROW_C_DATA_INTERFACE

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE

// A pull stream of struct arrays of one schema. The callbacks return 0 or an
// errno value; after an error get_last_error may describe it (the text
// stays valid until the next call or the release). get_next sets
// out->release to null at the end of the stream. The consumer serialises
// its calls, but may make them from any thread.
struct ArrowArrayStream {
    int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
    int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
    const char* (*get_last_error)(struct ArrowArrayStream*);
    void (*release)(struct ArrowArrayStream*);
    void* private_data;
};

#endif  // ARROW_C_STREAM_INTERFACE

}  // extern "C"
