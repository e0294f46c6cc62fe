// The Arrow C data and C stream interfaces: the three structures through
// which Arrow consumers (pyarrow, polars, DuckDB, ...) take columns from a
// producer in the same process without copying, and nothing else.
//
// Written from the public format description of the interface, which fixes
// this layout as a stable ABI. The include guards are the names the format
// asks every copy to use, so a translation unit that also sees another
// project's copy gets one definition.
#pragma once

#include <cstdint>

extern "C" {

#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

// A type, a field or a schema: `format` says the type, `name` the field's
// name, children the fields of a nested type. Released as a whole by the
// consumer, or child by child once moved out.
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

// The data of one array (a record batch is a struct array): its buffers in
// the order the type's layout gives, and its children.
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

// A pull-style source of arrays of one schema. get_next writes a released
// array (release == NULL) at the end. Callbacks return 0 or an errno value.
struct ArrowArrayStream {
    int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
    int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
    const char* (*get_last_error)(struct ArrowArrayStream*);
    void (*release)(struct ArrowArrayStream*);
    void* private_data;
};

#endif  // ARROW_C_STREAM_INTERFACE

}  // extern "C"
