// QuoteBuffer: where a stream's frames wait for its consumer.
//
// The ticker's data path hands each text frame here instead of building a
// dict for the message callback. The frame is decoded at once, without
// Python objects, so that a bad one is counted and reported when it comes
// and conflation knows the symbol; what waits is the decoded protobuf
// message (see stream_buffer.hpp). When a consumer waits, the stream's
// waker is called once, at the first frame after the consumer armed it; the
// rest of the socket read only joins the ring. The consumer's step builds
// what it takes from the waiting messages: one dict, a list of dicts, or
// Arrow columns, whose .errors list the bad frames among them.
//
// With pausing (overflow="pause") nothing is dropped: at a bound the buffer
// stops the connection's reading, and resumes it once the consumer has taken
// half.
#include "stream_buffer.hpp"

#include <memory>
#include <new>
#include <vector>

#include "args.hpp"
#include "clock.hpp"
#include "columns.hpp"
#include "module.hpp"
#include "names.hpp"
#include "vornproto.hpp"

namespace vorn {
namespace {

PyTypeObject* g_type = nullptr;

// A bad frame's place among the waiting ones: it came before frame `seq`.
struct BadMark {
    uint64_t seq;
    int rc;
};

struct QuoteBufferObject {
    PyObject_HEAD
    stream::FrameRing ring;      // constructed in place by qb_new
    std::vector<BadMark> marks;  // likewise; at most maxsize, the oldest go first
    PyObject* waker;     // called with no argument when a frame comes to an armed buffer
    PyObject* on_error;  // called with the exception of each bad frame
    PyObject* ticker;    // None, or the ticker whose frames come here
    PyObject* paused;    // None, or the WSTransport whose reading is paused
    uint64_t received;
    uint64_t delivered;
    uint64_t dropped;
    uint64_t errors;
    double paused_total;  // seconds, over the pauses that ended
    double paused_since;  // monotonic seconds at the current pause's start
    bool conflate;
    bool pause;
    bool armed;
    bool busy;  // a take is building objects from the waiting frames
    bool closed;
};

QuoteBufferObject* self_of(PyObject* o) { return reinterpret_cast<QuoteBufferObject*>(o); }

// transport.underlying_transport.<method>()
int call_underlying(PyObject* ws, PyObject* method) {
    Ref under = Ref::steal(PyObject_GetAttr(ws, names::underlying_transport));
    if (!under) return -1;
    PyObject* r = PyObject_CallMethodNoArgs(under.get(), method);
    if (!r) return -1;
    Py_DECREF(r);
    return 0;
}

// Ends the current pause: reading resumes (a no-op on a connection that has
// closed since) and its time is added up.
int end_pause(QuoteBufferObject* q) {
    if (q->paused == Py_None) return 0;
    Ref ws = Ref::borrow(q->paused);
    set_field(q->paused, Py_None);
    q->paused_total += monotonic_s() - q->paused_since;
    return call_underlying(ws.get(), names::resume_reading);
}

int maybe_resume(QuoteBufferObject* q) {
    if (q->paused == Py_None || !q->ring.half_empty()) return 0;
    return end_pause(q);
}

// At a bound, stops reading the ticker's current connection.
int maybe_pause(QuoteBufferObject* q, TickerObject* t) {
    if (q->paused != Py_None && q->paused != t->_transport) {
        // Paused on a connection that has gone: the pause is over.
        if (end_pause(q) < 0) return -1;
    }
    if (q->paused != Py_None || !q->ring.full() || t->_transport == Py_None) return 0;
    Ref ws = Ref::borrow(t->_transport);
    if (call_underlying(ws.get(), names::pause_reading) < 0) return -1;
    set_field(q->paused, ws.get());
    q->paused_since = monotonic_s();
    return 0;
}

int report_error(QuoteBufferObject* q, int rc) {
    ++q->errors;
    Ref exc = Ref::steal(vorn_frame_error(rc));
    if (!exc) return -1;
    Ref handler = Ref::borrow(q->on_error);
    if (handler.get() == Py_None) return 0;
    PyObject* r = PyObject_CallOneArg(handler.get(), exc.get());
    if (!r) return -1;
    Py_DECREF(r);
    return 0;
}

// --- construction ----------------------------------------------------------------

PyObject* qb_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static const char* kwlist[] = {"maxsize", "max_bytes", "conflate", "pause", "waker", "on_error", nullptr};
    Py_ssize_t maxsize = 0;
    Py_ssize_t max_bytes = 0;
    int conflate = 0;
    int pause = 0;
    PyObject* waker = nullptr;
    PyObject* on_error = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "nnppOO:QuoteBuffer", const_cast<char**>(kwlist), &maxsize,
                                     &max_bytes, &conflate, &pause, &waker, &on_error))
        return nullptr;
    if (maxsize < 1 || max_bytes < 1) {
        PyErr_SetString(PyExc_ValueError, "QuoteBuffer(): maxsize and max_bytes must be at least 1");
        return nullptr;
    }
    if (!PyCallable_Check(waker)) {
        PyErr_SetString(PyExc_TypeError, "QuoteBuffer(): waker must be callable");
        return nullptr;
    }
    PyObject* o = type->tp_alloc(type, 0);
    if (!o) return nullptr;
    QuoteBufferObject* q = self_of(o);
    std::construct_at(&q->ring, static_cast<size_t>(maxsize), static_cast<size_t>(max_bytes), !pause);
    std::construct_at(&q->marks);
    q->waker = Py_NewRef(waker);
    q->on_error = Py_NewRef(on_error);
    q->ticker = Py_NewRef(Py_None);
    q->paused = Py_NewRef(Py_None);
    q->received = q->delivered = q->dropped = q->errors = 0;
    q->paused_total = q->paused_since = 0.0;
    q->conflate = conflate != 0;
    q->pause = pause != 0;
    q->armed = q->busy = q->closed = false;
    return o;
}

int qb_traverse(PyObject* o, visitproc visit, void* arg) {
    QuoteBufferObject* q = self_of(o);
    Py_VISIT(Py_TYPE(o));
    Py_VISIT(q->waker);
    Py_VISIT(q->on_error);
    Py_VISIT(q->ticker);
    Py_VISIT(q->paused);
    return 0;
}

int qb_clear(PyObject* o) {
    QuoteBufferObject* q = self_of(o);
    set_field(q->waker, Py_None);
    set_field(q->on_error, Py_None);
    set_field(q->ticker, Py_None);
    set_field(q->paused, Py_None);
    return 0;
}

void qb_dealloc(PyObject* o) {
    PyTypeObject* type = Py_TYPE(o);
    PyObject_GC_UnTrack(o);
    QuoteBufferObject* q = self_of(o);
    Py_CLEAR(q->waker);
    Py_CLEAR(q->on_error);
    Py_CLEAR(q->ticker);
    Py_CLEAR(q->paused);
    std::destroy_at(&q->ring);
    std::destroy_at(&q->marks);
    type->tp_free(o);
    Py_DECREF(type);
}

// --- the consumer's side -------------------------------------------------------------

// Decodes the oldest waiting message into `rec` (views into the ring). It
// decoded when it came, so it does again.
int decode_front(QuoteBufferObject* q, qf_PricingData* rec) {
    const stream::Frame& f = q->ring.front();
    return qf_PricingData_decode(f.payload.data(), f.payload.size(), rec);
}

// Forgets the bad frames that came before what is waiting now (all of them
// once nothing waits): per-quote takes do not hand them out.
void forget_marks(QuoteBufferObject* q) {
    if (q->marks.empty()) return;
    if (q->ring.empty()) {
        q->marks.clear();
        return;
    }
    const uint64_t head = q->ring.head_seq();
    size_t gone = 0;
    while (gone < q->marks.size() && q->marks[gone].seq <= head) ++gone;
    q->marks.erase(q->marks.begin(), q->marks.begin() + static_cast<std::ptrdiff_t>(gone));
}

bool enter(QuoteBufferObject* q) {
    if (q->busy) {
        PyErr_SetString(PyExc_RuntimeError, "QuoteBuffer: a take is already running");
        return false;
    }
    q->busy = true;
    return true;
}

// Ends a take: resumes reading when it took enough.
PyObject* finish_take(QuoteBufferObject* q, Ref result) {
    q->busy = false;
    if (maybe_resume(q) < 0) return nullptr;
    return result.release();
}

// A waiting message that no longer decodes (it did when it came: only a
// failed allocation could) is taken out and counted as a bad frame.
void lose_front(QuoteBufferObject* q) {
    q->ring.pop();
    --q->received;
    ++q->errors;
}

// next() -> the oldest waiting quote as a dict, or None when none waits.
PyObject* qb_next(PyObject* o, PyObject*) {
    QuoteBufferObject* q = self_of(o);
    if (!enter(q)) return nullptr;
    Ref quote = Ref::none();
    qf_PricingData rec;
    while (!q->ring.empty()) {
        if (decode_front(q, &rec) != VORN_OK) {
            lose_front(q);
            continue;
        }
        quote = Ref::steal(qf_PricingData_to_dict(&rec));
        q->ring.pop();
        if (!quote) {
            q->busy = false;
            return nullptr;
        }
        ++q->delivered;
        break;
    }
    forget_marks(q);
    return finish_take(q, std::move(quote));
}

// The `limit` argument: a positive int, or None for no limit.
bool parse_limit(PyObject* arg, const char* fname, size_t* out) {
    if (arg == Py_None) {
        *out = SIZE_MAX;
        return true;
    }
    const Py_ssize_t n = PyLong_AsSsize_t(arg);
    if (n == -1 && PyErr_Occurred()) return false;
    if (n < 1) {
        PyErr_Format(PyExc_ValueError, "%s(): limit must be at least 1, got %zd", fname, n);
        return false;
    }
    *out = static_cast<size_t>(n);
    return true;
}

// take(limit) -> a list of up to `limit` quotes, oldest first; empty when none waits.
PyObject* qb_take(PyObject* o, PyObject* arg) {
    QuoteBufferObject* q = self_of(o);
    size_t limit = 0;
    if (!parse_limit(arg, "take", &limit) || !enter(q)) return nullptr;
    const size_t waiting = q->ring.size();
    Ref quotes = Ref::steal(PyList_New(static_cast<Py_ssize_t>(waiting < limit ? waiting : limit)));
    if (!quotes) {
        q->busy = false;
        return nullptr;
    }
    Py_ssize_t filled = 0;
    qf_PricingData rec;
    while (!q->ring.empty() && filled < PyList_GET_SIZE(quotes.get())) {
        if (decode_front(q, &rec) != VORN_OK) {
            lose_front(q);
            continue;
        }
        PyObject* quote = qf_PricingData_to_dict(&rec);
        q->ring.pop();
        if (!quote) {
            // The list's unfilled items are NULL, which its deallocation allows.
            q->busy = false;
            return nullptr;
        }
        PyList_SET_ITEM(quotes.get(), filled++, quote);
        ++q->delivered;
    }
    if (filled < PyList_GET_SIZE(quotes.get()) &&
        PyList_SetSlice(quotes.get(), filled, PyList_GET_SIZE(quotes.get()), nullptr) < 0) {
        q->busy = false;
        return nullptr;
    }
    forget_marks(q);
    return finish_take(q, std::move(quotes));
}

// take_columns(limit) -> QuoteColumns of up to `limit` waiting quotes, with
// the bad frames among them in .errors, or None when nothing waits.
PyObject* qb_take_columns(PyObject* o, PyObject* arg) {
    QuoteBufferObject* q = self_of(o);
    size_t limit = 0;
    if (!parse_limit(arg, "take_columns", &limit)) return nullptr;
    if (q->ring.empty() && q->marks.empty()) {
        if (maybe_resume(q) < 0) return nullptr;
        Py_RETURN_NONE;
    }
    if (!enter(q)) return nullptr;
    try {
        const size_t waiting = q->ring.size();
        const size_t frames = waiting < limit ? waiting : limit;
        const int64_t batch_rows = columns::kDefaultBatchRows;
        const auto first_rows = static_cast<int64_t>(frames < static_cast<size_t>(batch_rows) ? frames : batch_rows);
        columns::BatchBuilder builder(true, batch_rows, first_rows);
        std::vector<columns::BatchPtr> batches;
        Ref errors = check(PyList_New(0));
        size_t index = 0;  // among the rows and the bad frames, as decode_columns counts
        size_t mark = 0;
        auto note_bad = [&](int rc) {
            Ref exc = check(vorn_frame_error(rc));
            Ref at = check(PyLong_FromSize_t(index++));
            Ref entry = check(PyTuple_Pack(2, at.get(), exc.get()));
            check_rc(PyList_Append(errors.get(), entry.get()));
        };
        qf_PricingData rec;
        int64_t rows = 0;
        for (size_t taken = 0; taken < frames && !q->ring.empty(); ++taken) {
            const uint64_t seq = q->ring.head_seq();
            for (; mark < q->marks.size() && q->marks[mark].seq <= seq; ++mark) note_bad(q->marks[mark].rc);
            const stream::Frame& f = q->ring.front();
            if (decode_front(q, &rec) != VORN_OK) {
                note_bad(VORN_ERR_WIRE);
                lose_front(q);
                continue;
            }
            if (builder.full(f.payload.size())) batches.push_back(builder.finish());
            builder.append(rec, f.recv_ns);
            q->ring.pop();
            ++rows;
            ++index;
        }
        // Bad frames after the last waiting one come with it.
        if (q->ring.empty()) {
            for (; mark < q->marks.size(); ++mark) note_bad(q->marks[mark].rc);
        }
        q->marks.erase(q->marks.begin(), q->marks.begin() + static_cast<std::ptrdiff_t>(mark));
        if (columns::BatchPtr last = builder.finish()) batches.push_back(std::move(last));
        q->delivered += static_cast<uint64_t>(rows);
        Ref result = check(quote_columns_new(std::move(batches), true, rows, errors.get()));
        return finish_take(q, std::move(result));
    } catch (PyError& e) {
        e.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    q->busy = false;
    return nullptr;
}

// arm(): the next frame calls the waker (once).
PyObject* qb_arm(PyObject* o, PyObject*) {
    self_of(o)->armed = true;
    Py_RETURN_NONE;
}

// attach(ticker): the ticker's text frames come here from now on.
PyObject* qb_attach(PyObject* o, PyObject* ticker) {
    if (!PyObject_TypeCheck(ticker, ticker_type)) {
        arg_type_error(ticker, ticker_type, "ticker");
        return nullptr;
    }
    QuoteBufferObject* q = self_of(o);
    if (q->closed) {
        PyErr_SetString(PyExc_RuntimeError, "QuoteBuffer: closed");
        return nullptr;
    }
    set_field(reinterpret_cast<TickerObject*>(ticker)->_frame_sink, o);
    set_field(q->ticker, ticker);
    Py_RETURN_NONE;
}

// close(): no more quotes; the waiting ones are discarded, and a paused
// connection reads again (its close handshake needs it). The ticker keeps
// handing its frames here until its connection is down, so that they only
// count (a recording still keeps them) instead of reaching the message
// callback.
PyObject* qb_close(PyObject* o, PyObject*) {
    QuoteBufferObject* q = self_of(o);
    q->closed = true;
    q->armed = false;
    set_field(q->ticker, Py_None);
    if (!q->busy) {
        q->ring.clear();
        q->marks.clear();
    }
    if (end_pause(q) < 0) return nullptr;
    Py_RETURN_NONE;
}

// stats() -> (received, delivered, dropped, errors, paused_s)
PyObject* qb_stats(PyObject* o, PyObject*) {
    QuoteBufferObject* q = self_of(o);
    double paused = q->paused_total;
    if (q->paused != Py_None) paused += monotonic_s() - q->paused_since;
    return Py_BuildValue("(KKKKd)", static_cast<unsigned long long>(q->received),
                         static_cast<unsigned long long>(q->delivered), static_cast<unsigned long long>(q->dropped),
                         static_cast<unsigned long long>(q->errors), paused);
}

Py_ssize_t qb_len(PyObject* o) { return static_cast<Py_ssize_t>(self_of(o)->ring.size()); }

PyObject* qb_is_paused(PyObject* o, void*) { return PyBool_FromLong(self_of(o)->paused != Py_None); }

PyMethodDef qb_methods[] = {
    {"next", qb_next, METH_NOARGS, PyDoc_STR("next($self, /)\n--\n\nThe oldest waiting quote, or None.")},
    {"take", qb_take, METH_O, PyDoc_STR("take($self, limit, /)\n--\n\nUp to limit waiting quotes (None: all).")},
    {"take_columns", qb_take_columns, METH_O,
     PyDoc_STR("take_columns($self, limit, /)\n--\n\nUp to limit waiting frames as QuoteColumns, or None.")},
    {"arm", qb_arm, METH_NOARGS, PyDoc_STR("arm($self, /)\n--\n\nCall the waker at the next frame.")},
    {"attach", qb_attach, METH_O, PyDoc_STR("attach($self, ticker, /)\n--\n\nReceive the ticker's frames.")},
    {"close", qb_close, METH_NOARGS, PyDoc_STR("close($self, /)\n--\n\nDiscard everything; resume reading.")},
    {"stats", qb_stats, METH_NOARGS,
     PyDoc_STR("stats($self, /)\n--\n\n(received, delivered, dropped, errors, paused_s)")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef qb_getset[] = {
    {"paused", qb_is_paused, nullptr, PyDoc_STR("Whether reading is paused now."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot qb_slots[] = {
    {Py_tp_doc, const_cast<char*>("A stream's waiting frames (private to vornticker.stream).")},
    {Py_tp_new, reinterpret_cast<void*>(qb_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(qb_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(qb_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(qb_clear)},
    {Py_tp_methods, qb_methods},
    {Py_tp_getset, qb_getset},
    {Py_sq_length, reinterpret_cast<void*>(qb_len)},
    {0, nullptr},
};

PyType_Spec qb_spec = {
    "vornticker.vornticker.QuoteBuffer",
    sizeof(QuoteBufferObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    qb_slots,
};

}  // namespace

int quote_buffer_create_type(PyObject* module) {
    PyObject* type = PyType_FromModuleAndSpec(module, &qb_spec, nullptr);
    if (type == nullptr) return -1;
    g_type = reinterpret_cast<PyTypeObject*>(type);
    return PyModule_AddObjectRef(module, "QuoteBuffer", type);
}

void quote_buffer_fini() noexcept { Py_CLEAR(g_type); }

int quote_buffer_push(PyObject* sink, TickerObject* t, const uint8_t* b, size_t n, int64_t now) {
    if (!Py_IS_TYPE(sink, g_type)) {
        PyErr_SetString(PyExc_TypeError, "the ticker's frame sink is not a QuoteBuffer");
        return -1;
    }
    QuoteBufferObject* q = self_of(sink);
    Ref keep = Ref::borrow(sink);
    stream::Pushed pushed;
    bool bad = false;
    // The ticker's own decode buffer: only this path uses it now.
    qf_PricingData rec;
    size_t len = 0;
    const int rc = vorn_frame_decode(b, n, &t->_scratch, &t->_scratch_cap, &rec, &len);
    if (q->closed) {
        // Nobody takes quotes any more, but the connection is still closing
        // and a recording keeps what it brings: its bad frames still count,
        // so that the stream's errors match what the capture holds.
        if (rc != VORN_OK) ++q->errors;
        return 0;
    }
    try {
        if (rc != VORN_OK) {
            bad = true;
            if (q->marks.size() >= q->ring.max_frames()) q->marks.erase(q->marks.begin());
            q->marks.push_back(BadMark{q->ring.next_seq(), rc});
        } else {
            if (q->conflate && (rec.has & 1u)) {
                const std::string_view key(reinterpret_cast<const char*>(rec.id.p), rec.id.n);
                pushed = q->ring.push(t->_scratch, len, now, &key);
            } else {
                pushed = q->ring.push(t->_scratch, len, now);
            }
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
    if (bad) {
        if (report_error(q, rc) < 0) return -1;
    } else {
        ++q->received;
        q->dropped += pushed.dropped;
        if (q->pause && maybe_pause(q, t) < 0) return -1;
    }
    if ((pushed.queued || bad) && q->armed) {
        q->armed = false;
        Ref waker = Ref::borrow(q->waker);
        PyObject* r = PyObject_CallNoArgs(waker.get());
        if (!r) return -1;
        Py_DECREF(r);
    }
    return 0;
}

}  // namespace vorn
