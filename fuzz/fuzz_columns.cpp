// libFuzzer target: protobuf messages -> column builder -> Arrow export, read
// back the way a consumer reads it and compared, row by row, with the dict
// the same record gives (embedded interpreter).
//
// Input: byte 0 picks the rows per batch (1 to 8) and which column the
// consumer moves out of each batch before releasing it; then messages, each
// a length byte and that many bytes. Checked: every value equals the dict's
// (text byte for byte against the dict's str, floats bit for bit), nulls are
// exactly the missing keys, offsets only grow and stay inside the text, the
// columns own their bytes (the messages are scribbled over before reading),
// and ASan sees every release path.
#include "columns.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

using namespace vorn;
using namespace vorn::columns;

namespace {

[[noreturn]] void die(const char* what) {
    std::fprintf(stderr, "fuzz_columns: %s\n", what);
    std::abort();
}

bool bit(const ArrowArray* a, int64_t row) {
    const auto* bits = static_cast<const uint8_t*>(a->buffers[0]);
    return bits == nullptr || ((bits[row >> 3] >> (row & 7)) & 1u);
}

// The text of item i of a utf8 array, checked against its neighbours.
std::pair<const char*, size_t> text(const ArrowArray* a, int64_t i) {
    const auto* off = static_cast<const int32_t*>(a->buffers[1]);
    if (off[0] != 0 || off[i + 1] < off[i]) die("utf8 offsets do not start at 0 and grow");
    return {static_cast<const char*>(a->buffers[2]) + off[i], static_cast<size_t>(off[i + 1] - off[i])};
}

void same_text(PyObject* str, std::pair<const char*, size_t> t) {
    Py_ssize_t n = 0;
    const char* want = PyUnicode_AsUTF8AndSize(str, &n);
    if (want == nullptr || static_cast<size_t>(n) != t.second || std::memcmp(want, t.first, t.second) != 0)
        die("text differs from the dict's str");
}

template <typename T>
T at(const ArrowArray* a, int64_t row) {
    T v;
    std::memcpy(&v, static_cast<const uint8_t*>(a->buffers[1]) + row * int64_t{sizeof(T)}, sizeof v);
    return v;
}

void check_cell(const ArrowArray* col, Kind kind, int64_t row, PyObject* v) {
    switch (kind) {
    case Kind::Str: same_text(v, text(col, row)); break;
    case Kind::F32:
    case Kind::F64: {
        const double got = at<double>(col, row), want = PyFloat_AS_DOUBLE(v);
        if (std::memcmp(&got, &want, sizeof got) != 0) die("float differs");
        break;
    }
    case Kind::I64:
    case Kind::EpochMs:
        if (at<int64_t>(col, row) != PyLong_AsLongLong(v)) die("int64 differs");
        break;
    case Kind::I32:
        if (at<int32_t>(col, row) != PyLong_AsLong(v)) die("int32 differs");
        break;
    case Kind::List: {
        const auto* off = static_cast<const int32_t*>(col->buffers[1]);
        if (off[row + 1] < off[row] || off[row + 1] > col->children[0]->length) die("list offsets");
        if (PyList_GET_SIZE(v) != off[row + 1] - off[row]) die("list length differs");
        for (int32_t i = off[row]; i < off[row + 1]; ++i) same_text(PyList_GET_ITEM(v, i - off[row]), text(col->children[0], i));
        break;
    }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    PyPreConfig pre;
    PyPreConfig_InitPythonConfig(&pre);
    pre.allocator = PYMEM_ALLOCATOR_MALLOC;
    if (PyStatus_Exception(Py_PreInitialize(&pre))) die("pre-initialisation failed");
    Py_Initialize();
    if (vorn_proto_init() < 0) die("vorn_proto_init failed");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const int64_t batch_rows = (data[0] & 7) + 1;
    const int moved = data[0] >> 3;  // a column index (or none, past the last)
    std::vector<std::vector<uint8_t>> messages;
    for (size_t i = 1; i < size;) {
        const size_t n = std::min<size_t>(data[i], size - i - 1);
        messages.emplace_back(data + i + 1, data + i + 1 + n);
        i += 1 + n;
    }

    BatchBuilder builder(true, batch_rows, 1);
    auto st = std::make_unique<StreamState>();
    st->with_recv = true;
    std::vector<PyObject*> dicts;
    for (std::vector<uint8_t>& m : messages) {
        qf_PricingData rec;
        if (qf_PricingData_decode(m.data(), m.size(), &rec) != VORN_OK) continue;
        PyObject* d = qf_PricingData_to_dict(&rec);
        if (d == nullptr) die("to_dict failed");
        dicts.push_back(d);
        if (builder.full(m.size())) st->batches.push_back(builder.finish());
        builder.append(rec, static_cast<int64_t>(dicts.size()));
    }
    if (BatchPtr last = builder.finish()) st->batches.push_back(last);
    for (std::vector<uint8_t>& m : messages) {
        if (!m.empty()) std::memset(m.data(), 0xA5, m.size());
    }

    ArrowArrayStream stream;
    export_stream(std::move(st), &stream);
    size_t row_no = 0;
    for (;;) {
        ArrowArray batch;
        if (stream.get_next(&stream, &batch) != 0) die("get_next failed");
        if (batch.release == nullptr) break;
        if (batch.length < 1 || batch.length > batch_rows || batch.n_children != kFields + 1) die("batch shape");
        for (int64_t row = 0; row < batch.length; ++row, ++row_no) {
            if (row_no >= dicts.size() || at<int64_t>(batch.children[0], row) != static_cast<int64_t>(row_no + 1))
                die("rows out of step with the records");
            PyObject* d = dicts[row_no];
            int64_t cells = 0;
            for (int f = 0; f < kFields; ++f) {
                const ArrowArray* col = batch.children[f + 1];
                PyObject* v = PyDict_GetItem(d, vorn_detail::keys[f]);
                if ((v != nullptr) != bit(col, row)) die("null where the dict has a key, or the reverse");
                if (v != nullptr) {
                    check_cell(col, vorn_detail::fields[f].kind, row, v);
                    ++cells;
                }
            }
            if (cells != PyDict_GET_SIZE(d)) die("dict has keys the columns lack");
        }
        for (int c = 0; c <= kFields; ++c) {
            int64_t nulls = 0;
            for (int64_t row = 0; row < batch.length; ++row) nulls += !bit(batch.children[c], row);
            if (nulls != batch.children[c]->null_count) die("null_count differs from the validity bits");
        }
        if (moved <= kFields) {  // the consumer keeps one column past its batch
            ArrowArray kept = *batch.children[moved];
            batch.children[moved]->release = nullptr;
            batch.release(&batch);
            int64_t nulls = 0;  // read again with its batch gone
            for (int64_t row = 0; row < kept.length; ++row) nulls += !bit(&kept, row);
            if (nulls != kept.null_count) die("a moved column lost its data");
            kept.release(&kept);
        } else {
            batch.release(&batch);
        }
    }
    if (row_no != dicts.size()) die("rows missing");
    stream.release(&stream);
    for (PyObject* d : dicts) Py_DECREF(d);
    return 0;
}
