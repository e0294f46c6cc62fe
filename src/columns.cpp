// QuoteColumns: decoded quotes held as Arrow record batches, handed to Arrow
// consumers (pyarrow, polars, DuckDB, ...) through the Arrow PyCapsule
// interface: __arrow_c_schema__ and __arrow_c_stream__.
//
// The object holds the finished batches (C memory, see columns.hpp) and the
// list of frames that did not decode. It holds no payload: every string was
// copied into the batches as the frames were decoded. A stream or an array
// taken from it keeps the batches it needs alive by itself, so the object may
// go away while a consumer still reads, and a consumer's release callbacks
// never need the interpreter.
#include "columns.hpp"

#include "pyref.hpp"

namespace vorn {
namespace {

using columns::Batch;
using columns::BatchPtr;
using vorn_detail::Kind;

PyTypeObject* g_type = nullptr;
PyObject* g_recv_key = nullptr;  // "recv_ns", interned

struct QuoteColumnsObject {
    PyObject_HEAD
    std::vector<BatchPtr> batches;  // constructed in place by quote_columns_new
    PyObject* errors;               // list of (frame index, exception)
    int64_t rows;
    bool with_recv;
};

QuoteColumnsObject* self_of(PyObject* o) { return reinterpret_cast<QuoteColumnsObject*>(o); }

// The capsule destructors free what the consumer did not take: a consumer
// that imports the structure moves it out and leaves release == NULL.
// Capsule names are read back rather than assumed, as some consumers rename
// the capsules they have used; a destructor keeps any exception in flight.
template <typename T>
T* capsule_struct(PyObject* capsule) {
    PyObject* pending = PyErr_GetRaisedException();
    auto* p = static_cast<T*>(PyCapsule_GetPointer(capsule, PyCapsule_GetName(capsule)));
    if (p == nullptr) PyErr_Clear();
    PyErr_SetRaisedException(pending);
    return p;
}

void schema_capsule_free(PyObject* capsule) {
    if (auto* s = capsule_struct<ArrowSchema>(capsule)) {
        if (s->release != nullptr) s->release(s);
        delete s;
    }
}

void stream_capsule_free(PyObject* capsule) {
    if (auto* s = capsule_struct<ArrowArrayStream>(capsule)) {
        if (s->release != nullptr) s->release(s);
        delete s;
    }
}

// Runs `body` (which may throw PyError or std::bad_alloc) and returns its
// result, or NULL with the Python error set.
template <typename F>
PyObject* guarded(F&& body) {
    try {
        return body();
    } catch (PyError& e) {
        e.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    return nullptr;
}

PyObject* qc_arrow_c_schema(PyObject* self, PyObject*) {
    return guarded([&] {
        auto schema = std::make_unique<ArrowSchema>();
        columns::export_schema(self_of(self)->with_recv, schema.get());
        PyObject* capsule = PyCapsule_New(schema.get(), "arrow_schema", schema_capsule_free);
        if (capsule == nullptr) {
            schema->release(schema.get());
            return capsule;
        }
        schema.release();
        return capsule;
    });
}

PyObject* qc_arrow_c_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    // requested_schema is a request, not a demand: the columns come in their
    // own types, which is what the interface allows a producer to do.
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    const bool keyword_ok = nkw == 0 || (nkw == 1 && PyUnicode_EqualToUTF8(PyTuple_GET_ITEM(kwnames, 0), "requested_schema"));
    if (nargs + nkw > 1 || !keyword_ok) {
        PyErr_SetString(PyExc_TypeError, "__arrow_c_stream__() takes one optional argument, requested_schema");
        return nullptr;
    }
    (void)args;
    return guarded([&] {
        QuoteColumnsObject* o = self_of(self);
        auto state = std::make_unique<columns::StreamState>();
        state->batches = o->batches;
        state->with_recv = o->with_recv;
        auto stream = std::make_unique<ArrowArrayStream>();
        columns::export_stream(std::move(state), stream.get());
        PyObject* capsule = PyCapsule_New(stream.get(), "arrow_array_stream", stream_capsule_free);
        if (capsule == nullptr) {
            stream->release(stream.get());
            return capsule;
        }
        stream.release();
        return capsule;
    });
}

// One column value of one row, as the dict of decode_frame holds it.
Ref value_of(const Batch& b, int slot, int64_t row) {
    return vorn_detail::with_kind(vorn_detail::fields[slot].kind, [&]<Kind K>() {
        using T = vorn_detail::FieldTraits<K>;
        if constexpr (K == Kind::Str) {
            return check(T::py(b.text(slot, row)));
        } else if constexpr (K == Kind::List) {
            const auto [first, last] = b.items(slot, row);
            Ref list = check(PyList_New(last - first));
            for (int32_t i = first; i < last; ++i) {
                Ref item = check(vorn_detail::FieldTraits<Kind::Str>::py(b.text(slot, i, true)));
                PyList_SET_ITEM(list.get(), i - first, item.release());
            }
            return list;
        } else {
            return check(T::py(b.value<typename T::Cell>(slot, row)));
        }
    });
}

PyObject* qc_to_pylist(PyObject* self, PyObject*) {
    return guarded([&] {
        QuoteColumnsObject* o = self_of(self);
        Ref out = check(PyList_New(static_cast<Py_ssize_t>(o->rows)));
        Py_ssize_t at = 0;
        for (const BatchPtr& batch : o->batches) {
            const Batch& b = *batch;
            for (int64_t row = 0; row < b.rows; ++row) {
                Ref d = check(PyDict_New());
                if (b.with_recv) {
                    Ref t = check(PyLong_FromLongLong(b.value<int64_t>(columns::kRecvSlot, row)));
                    check_rc(PyDict_SetItem(d.get(), g_recv_key, t.get()));
                }
                for (int slot = 0; slot < columns::kFields; ++slot) {
                    if (!b.valid(slot, row)) continue;
                    Ref v = value_of(b, slot, row);
                    check_rc(PyDict_SetItem(d.get(), vorn_detail::keys[slot], v.get()));
                }
                PyList_SET_ITEM(out.get(), at++, d.release());
            }
        }
        return out.release();
    });
}

PyObject* qc_num_rows(PyObject* self, void*) { return PyLong_FromLongLong(self_of(self)->rows); }

PyObject* qc_column_names(PyObject* self, void*) {
    const bool with_recv = self_of(self)->with_recv;
    PyObject* names = PyList_New(columns::kFields + (with_recv ? 1 : 0));
    if (names == nullptr) return nullptr;
    Py_ssize_t at = 0;
    if (with_recv) PyList_SET_ITEM(names, at++, Py_NewRef(g_recv_key));
    for (int slot = 0; slot < columns::kFields; ++slot) {
        PyList_SET_ITEM(names, at++, Py_NewRef(vorn_detail::keys[slot]));
    }
    return names;
}

// A copy, so the object's own record cannot be changed through it.
PyObject* qc_errors(PyObject* self, void*) {
    PyObject* errors = self_of(self)->errors;
    return PyList_GetSlice(errors, 0, PyList_GET_SIZE(errors));
}

PyObject* qc_repr(PyObject* self) {
    QuoteColumnsObject* o = self_of(self);
    return PyUnicode_FromFormat("<QuoteColumns: %lld rows in %zd batches, %zd errors>", static_cast<long long>(o->rows),
                                static_cast<Py_ssize_t>(o->batches.size()), PyList_GET_SIZE(o->errors));
}

int qc_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(self_of(self)->errors);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int qc_clear(PyObject* self) {
    Py_CLEAR(self_of(self)->errors);
    return 0;
}

void qc_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    qc_clear(self);
    std::destroy_at(&self_of(self)->batches);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef qc_methods[] = {
    {"__arrow_c_schema__", qc_arrow_c_schema, METH_NOARGS,
     PyDoc_STR("__arrow_c_schema__($self, /)\n--\n\n"
               "The columns' schema as an \"arrow_schema\" PyCapsule (Arrow PyCapsule interface).")},
    {"__arrow_c_stream__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(qc_arrow_c_stream)),
     METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("__arrow_c_stream__($self, /, requested_schema=None)\n--\n\n"
               "The record batches as an \"arrow_array_stream\" PyCapsule (Arrow PyCapsule\n"
               "interface). requested_schema is ignored: the columns keep their own types.\n"
               "Each call gives a new stream over the same batches; a stream keeps what it\n"
               "has not yet handed out alive by itself.")},
    {"to_pylist", qc_to_pylist, METH_NOARGS,
     PyDoc_STR("to_pylist($self, /)\n--\n\n"
               "The rows as dicts, one per decoded frame: the dict decode_frame returns for\n"
               "the frame (absent fields left out), after \"recv_ns\" when the columns have\n"
               "receive times. Meant for small checks: it builds a dict per row.")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef qc_getset[] = {
    {"num_rows", qc_num_rows, nullptr, PyDoc_STR("Rows in all batches: the frames that decoded."), nullptr},
    {"column_names", qc_column_names, nullptr, PyDoc_STR("The columns' names, in order."), nullptr},
    {"errors", qc_errors, nullptr,
     PyDoc_STR("(frame index, exception) for each frame that did not decode, in frame order; the\n"
               "exception is the one decode_frame raises for that frame."),
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot qc_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Decoded quotes as Arrow record batches, from decode_columns().\n\n"
                    "Columns: recv_ns (timestamp[ns, UTC]) when receive times were given, then one\n"
                    "per PricingData field in field-number order, named by its dict key: utf8,\n"
                    "float64, int64, int32 (quoteType, marketHours), list<utf8> (indices) or\n"
                    "timestamp[ms, UTC] (time); a field absent from a frame is null. Arrow consumers read it through\n"
                    "__arrow_c_stream__: pyarrow.table(cols), polars.DataFrame(cols), DuckDB.\n\n"
                    "It holds the decoded columns (its own copies of the strings), not the\n"
                    "payloads.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(qc_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(qc_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(qc_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(qc_repr)},
    {Py_tp_methods, qc_methods},
    {Py_tp_getset, qc_getset},
    {0, nullptr},
};

PyType_Spec qc_spec = {
    "vornticker.vornticker.QuoteColumns",
    sizeof(QuoteColumnsObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    qc_slots,
};

}  // namespace

int quote_columns_create_type(PyObject* module) {
    g_recv_key = PyUnicode_InternFromString(columns::kRecvName);
    if (g_recv_key == nullptr) return -1;
    PyObject* type = PyType_FromModuleAndSpec(module, &qc_spec, nullptr);
    if (type == nullptr) return -1;
    g_type = reinterpret_cast<PyTypeObject*>(type);
    return PyModule_AddObjectRef(module, "QuoteColumns", type);
}

void quote_columns_fini() noexcept {
    Py_CLEAR(g_type);
    Py_CLEAR(g_recv_key);
}

PyObject* quote_columns_new(std::vector<BatchPtr>&& batches, bool with_recv, int64_t rows, PyObject* errors) {
    PyObject* self = g_type->tp_alloc(g_type, 0);
    if (self == nullptr) return nullptr;
    QuoteColumnsObject* o = self_of(self);
    std::construct_at(&o->batches, std::move(batches));
    o->errors = Py_NewRef(errors);
    o->rows = rows;
    o->with_recv = with_recv;
    return self;
}

}  // namespace vorn
