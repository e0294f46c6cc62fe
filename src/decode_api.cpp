#include "decode_api.hpp"

#include <optional>
#include <vector>

#include "args.hpp"
#include "columns.hpp"
#include "pyref.hpp"
#include "vornproto.hpp"

namespace vorn {
namespace {

// decode_frame's base64 output buffer.  It lives per thread and is reused so
// the steady state takes no C memory, like the ticker's own scratch.  It is
// not a process-wide buffer because the record's string views point into it
// until the dict is built, and the dict is built through the interpreter:
// other threads may decode at the same time (free-threaded builds, or any
// future step that lets the lock go), and should a finaliser ever run inside
// that build and call decode_frame, it would be on this very thread.  Such a
// nested call finds `busy` set and decodes into a buffer of its own.
struct Scratch {
    uint8_t* p = nullptr;
    size_t cap = 0;
    bool busy = false;

    Scratch() = default;
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    ~Scratch() { std::free(p); }
};

thread_local Scratch tls_scratch;

// A single oversized frame should not pin its buffer for the thread's life.
constexpr size_t kRetainCap = 64 * 1024;

class BufferView {
public:
    BufferView() = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() {
        if (held_) {
            PyBuffer_Release(&view_);
        }
    }
    bool acquire(PyObject* obj) {
        // bytes is what the websocket layer hands out; read it in place and
        // skip the buffer protocol's bookkeeping.
        if (PyBytes_CheckExact(obj)) {
            view_.buf = PyBytes_AS_STRING(obj);
            view_.len = PyBytes_GET_SIZE(obj);
            return true;
        }
        held_ = PyObject_GetBuffer(obj, &view_, PyBUF_SIMPLE) == 0;
        return held_;
    }
    const uint8_t* data() const { return static_cast<const uint8_t*>(view_.buf); }
    size_t size() const { return static_cast<size_t>(view_.len); }

private:
    Py_buffer view_{};
    bool held_ = false;
};

PyObject* raise_decode_failure(int rc) {
    PyObject* exc = vorn_frame_error(rc);
    if (exc != nullptr) {
        PyErr_SetRaisedException(exc);  // steals the reference
    }
    return nullptr;
}

}  // namespace

PyObject* vorn_py_decode_frame(PyObject*, PyObject* payload) {
    BufferView in;
    if (!in.acquire(payload)) {
        return nullptr;
    }
    Scratch nested;
    Scratch& s = tls_scratch.busy ? nested : tls_scratch;
    s.busy = true;

    qf_PricingData rec;
    const int rc = vorn_frame_decode(in.data(), in.size(), &s.p, &s.cap, &rec);
    PyObject* result = rc == VORN_OK ? qf_PricingData_to_dict(&rec) : raise_decode_failure(rc);

    s.busy = false;
    if (s.cap > kRetainCap) {
        std::free(s.p);
        s.p = nullptr;
        s.cap = 0;
    }
    return result;
}

PyObject* vorn_py_decode_pricing_data(PyObject*, PyObject* data) {
    BufferView in;
    if (!in.acquire(data)) {
        return nullptr;
    }
    // The views point into the caller's buffer, which stays exported (and so
    // cannot be resized) until the dict is built.
    qf_PricingData rec;
    const int rc = qf_PricingData_decode(in.data(), in.size(), &rec);
    if (rc != VORN_OK) {
        return raise_decode_failure(rc);
    }
    return qf_PricingData_to_dict(&rec);
}

namespace {

// The items of an argument one at a time: lists and tuples by index (a
// reference is taken to each item, so a list changed meanwhile is no
// danger), anything else through its iterator.
class Items {
public:
    bool open(PyObject* obj) {
        if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
            seq_ = Ref::borrow(obj);
            return true;
        }
        iter_ = Ref::steal(PyObject_GetIter(obj));
        return static_cast<bool>(iter_);
    }
    // 1 with `out` set, 0 at the end, -1 with an error set.
    int next(Ref& out) {
        if (PyObject* s = seq_.get()) {
            const bool list = PyList_CheckExact(s);
            if (i_ >= (list ? PyList_GET_SIZE(s) : PyTuple_GET_SIZE(s))) return 0;
            out = Ref::borrow(list ? PyList_GET_ITEM(s, i_) : PyTuple_GET_ITEM(s, i_));
            ++i_;
            return 1;
        }
        PyObject* item = nullptr;
        const int rc = PyIter_NextItem(iter_.get(), &item);
        if (rc == 1) out = Ref::steal(item);
        return rc;
    }

private:
    Ref seq_;
    Ref iter_;
    Py_ssize_t i_ = 0;
};

bool is_pair(PyObject* item) { return PyTuple_Check(item) && PyTuple_GET_SIZE(item) == 2; }

int64_t as_int64(PyObject* v) {
    const long long t = PyLong_AsLongLong(v);
    if (t == -1 && PyErr_Occurred()) throw_current();
    return t;
}

[[noreturn]] void raise(PyObject* type, const char* text) {
    PyErr_SetString(type, text);
    throw_current();
}

// The base64 buffer of one decode_columns call: grown like the ticker's, freed
// at the end of the call.
struct CallScratch {
    uint8_t* p = nullptr;
    size_t cap = 0;
    CallScratch() = default;
    CallScratch(const CallScratch&) = delete;
    CallScratch& operator=(const CallScratch&) = delete;
    ~CallScratch() { std::free(p); }
};

Ref decode_columns_impl(PyObject* payloads, PyObject* recv_arg, int64_t batch_rows) {
    const bool recv_given = recv_arg != nullptr && recv_arg != Py_None;
    Items items;
    Items times;
    if (!items.open(payloads) || (recv_given && !times.open(recv_arg))) throw_current();
    const Py_ssize_t hint = PyObject_LengthHint(payloads, 1024);
    if (hint < 0) throw_current();

    // Whether the items are payloads or (recv_ns, payload) pairs is known at
    // the first item; so is whether the batches have a recv_ns column.
    enum class Shape { Unknown, Payloads, Pairs } shape = recv_given ? Shape::Payloads : Shape::Unknown;
    std::optional<columns::BatchBuilder> builder;
    std::vector<columns::BatchPtr> batches;
    Ref errors = check(PyList_New(0));
    CallScratch scratch;
    qf_PricingData rec;
    int64_t rows = 0;
    Ref item;
    for (Py_ssize_t index = 0;; ++index) {
        const int more = items.next(item);
        if (more < 0) throw_current();
        if (more == 0) break;
        if (!builder) {
            if (recv_given && is_pair(item.get())) {
                raise(PyExc_TypeError, "decode_columns(): recv_ns cannot be given with (recv_ns, payload) pairs");
            }
            if (shape == Shape::Unknown) shape = is_pair(item.get()) ? Shape::Pairs : Shape::Payloads;
            builder.emplace(shape == Shape::Pairs || recv_given, batch_rows, hint);
        }
        Ref payload = item;
        int64_t recv_ns = 0;
        if (shape == Shape::Pairs) {
            if (!is_pair(item.get())) {
                PyErr_Format(PyExc_TypeError,
                             "decode_columns(): item %zd is %.200s, not a (recv_ns, payload) pair like the first",
                             index, Py_TYPE(item.get())->tp_name);
                throw_current();
            }
            payload = Ref::borrow(PyTuple_GET_ITEM(item.get(), 1));
            recv_ns = as_int64(PyTuple_GET_ITEM(item.get(), 0));
        } else if (recv_given) {
            Ref t;
            const int have = times.next(t);
            if (have < 0) throw_current();
            if (have == 0) raise(PyExc_ValueError, "decode_columns(): recv_ns has fewer items than payloads");
            recv_ns = as_int64(t.get());
        }
        BufferView in;
        if (!in.acquire(payload.get())) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw_current();
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "decode_columns(): payload %zd is %.200s, not a bytes-like object", index,
                         Py_TYPE(payload.get())->tp_name);
            throw_current();
        }
        const int rc = vorn_frame_decode(in.data(), in.size(), &scratch.p, &scratch.cap, &rec);
        auto add_error = [&](Ref exc) {
            Ref at = check(PyLong_FromSsize_t(index));
            Ref entry = check(PyTuple_Pack(2, at.get(), exc.get()));
            check_rc(PyList_Append(errors.get(), entry.get()));
        };
        if (rc != VORN_OK) {
            add_error(check(vorn_frame_error(rc)));
        } else if (builder->add(rec, in.size(), recv_ns, batches)) {
            ++rows;
        } else {
            // Decoded, but it may not fit a column's 32-bit offsets: an error
            // of this frame alone, like any other bad frame.
            Ref text = check(PyUnicode_FromFormat(
                "a frame of %zu bytes may hold more text than an Arrow utf8 column can", in.size()));
            add_error(check(PyObject_CallOneArg(PyExc_OverflowError, text.get())));
        }
        // A long call still answers Ctrl-C.
        if ((index & 0xFFFF) == 0xFFFF && PyErr_CheckSignals() < 0) throw_current();
    }
    if (recv_given) {
        Ref t;
        const int extra = times.next(t);
        if (extra < 0) throw_current();
        if (extra > 0) raise(PyExc_ValueError, "decode_columns(): recv_ns has more items than payloads");
    }
    if (builder) {
        if (columns::BatchPtr last = builder->finish()) batches.push_back(std::move(last));
    }
    const bool with_recv = recv_given || shape == Shape::Pairs;
    return check(quote_columns_new(std::move(batches), with_recv, rows, errors.get()));
}

}  // namespace

PyObject* vorn_py_decode_columns(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const params[] = {"payloads", "recv_ns", "batch_rows"};
    if (nargs > 2) {
        PyErr_Format(PyExc_TypeError, "decode_columns() takes at most 2 positional arguments (%zd given)", nargs);
        return nullptr;
    }
    PyObject* a[3];
    if (parse_args("decode_columns", args, static_cast<size_t>(nargs), kwnames, params, 3, 1, a) < 0) {
        return nullptr;
    }
    int64_t batch_rows = columns::kDefaultBatchRows;
    if (a[2] != nullptr) {
        const long long n = PyLong_AsLongLong(a[2]);
        if (n == -1 && PyErr_Occurred()) return nullptr;
        if (n < 1 || n > columns::kMaxBatchRows) {
            PyErr_Format(PyExc_ValueError, "decode_columns(): batch_rows must be 1 to %lld, not %lld",
                         static_cast<long long>(columns::kMaxBatchRows), n);
            return nullptr;
        }
        batch_rows = n;
    }
    try {
        return decode_columns_impl(a[0], a[1], batch_rows).release();
    } catch (PyError& e) {
        e.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    return nullptr;
}

PyMethodDef vorn_decode_api_methods[] = {
    {"decode_frame", vorn_py_decode_frame, METH_O,
     PyDoc_STR("decode_frame($module, payload, /)\n--\n\n"
               "Decode one quote frame exactly as the ticker does.\n\n"
               "payload is the text frame as a bytes-like object: a JSON envelope whose\n"
               "string member \"message\" holds a base64-encoded PricingData message.\n"
               "Returns the dict the message callback would receive.  Raises the\n"
               "exception the error callback would receive: ValueError for a bad\n"
               "envelope, bad base64 or bad protobuf data, MemoryError when no\n"
               "buffer could be had.")},
    {"decode_pricing_data", vorn_py_decode_pricing_data, METH_O,
     PyDoc_STR("decode_pricing_data($module, data, /)\n--\n\n"
               "Decode one raw protobuf PricingData message (a bytes-like object)\n"
               "into the same dict the ticker produces.  Raises ValueError\n"
               "\"malformed or truncated protobuf data\" for bad input.")},
    {"decode_columns", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(vorn_py_decode_columns)),
     METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("decode_columns($module, payloads, recv_ns=None, *, batch_rows=65536)\n--\n\n"
               "Decode many frames into Arrow columns (a QuoteColumns), without a dict per quote.\n\n"
               "payloads is an iterable of text frames (bytes-like objects), or of\n"
               "(recv_ns, payload) pairs such as the frames of a recording reader; recv_ns is\n"
               "an optional iterable of int64 receive times (nanoseconds since the epoch),\n"
               "one per payload. With receive times the first column is recv_ns.\n\n"
               "Each frame is decoded as decode_frame decodes it. A frame that decodes is one\n"
               "row; one that does not is listed in .errors as (index, exception) with the\n"
               "exception decode_frame raises for it (or an OverflowError for a frame too big\n"
               "for an Arrow column's 32-bit offsets). Rows are gathered in record batches of\n"
               "batch_rows rows. Everything is decoded during the call and each payload is let\n"
               "go once decoded, so the result holds the columns but no payload.")},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace vorn
