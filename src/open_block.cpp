// OpenBlock, the Python type around capture::OpenBlock (open_block.hpp).
#include "open_block.hpp"

#include <memory>
#include <new>

namespace vorn {
namespace {

PyTypeObject* g_type = nullptr;

struct OpenBlockObject {
    PyObject_HEAD
    capture::OpenBlock block;  // constructed in place by ob_new
    bool accepting;            // the ticker's fast path may append
};

OpenBlockObject* self_of(PyObject* o) { return reinterpret_cast<OpenBlockObject*>(o); }

PyObject* ob_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static const char* kwlist[] = {"block_size", nullptr};
    Py_ssize_t block_size = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "n:OpenBlock", const_cast<char**>(kwlist), &block_size))
        return nullptr;
    if (block_size < 1) {
        PyErr_Format(PyExc_ValueError, "OpenBlock(): block_size must be at least 1, got %zd", block_size);
        return nullptr;
    }
    PyObject* o = type->tp_alloc(type, 0);
    if (!o) return nullptr;
    std::construct_at(&self_of(o)->block, static_cast<size_t>(block_size));
    self_of(o)->accepting = true;
    return o;
}

void ob_dealloc(PyObject* o) {
    PyTypeObject* type = Py_TYPE(o);
    std::destroy_at(&self_of(o)->block);
    type->tp_free(o);
    Py_DECREF(type);
}

// append(code, recv_ns, payload, /) -> 0 when the open block has no room
// (nothing appended: cut it first), 1 when appended, 2 when appended as the
// block's first record.
PyObject* ob_append(PyObject* o, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 3) {
        PyErr_Format(PyExc_TypeError, "append() takes 3 arguments (%zd given)", nargs);
        return nullptr;
    }
    const long code = PyLong_AsLong(args[0]);
    if (code == -1 && PyErr_Occurred()) return nullptr;
    if (code < 0 || code > 255) {
        PyErr_Format(PyExc_ValueError, "append(): code must be in 0..255, got %ld", code);
        return nullptr;
    }
    const long long recv_ns = PyLong_AsLongLong(args[1]);
    if (recv_ns == -1 && PyErr_Occurred()) return nullptr;
    Py_buffer view;
    if (PyObject_GetBuffer(args[2], &view, PyBUF_SIMPLE) < 0) return nullptr;
    capture::OpenBlock& block = self_of(o)->block;
    const size_t n = static_cast<size_t>(view.len);
    long result = 0;
    if (n > UINT32_MAX) {
        PyBuffer_Release(&view);
        PyErr_SetString(PyExc_ValueError, "append(): payload over 4 GiB");
        return nullptr;
    }
    if (block.fits(n)) {
        result = block.empty() ? 2 : 1;
        try {
            block.append(static_cast<uint8_t>(code), recv_ns, static_cast<const uint8_t*>(view.buf), n);
        } catch (const std::bad_alloc&) {
            PyBuffer_Release(&view);
            return PyErr_NoMemory();
        }
    }
    PyBuffer_Release(&view);
    return PyLong_FromLong(result);
}

// take() -> (records, frames, frame bytes) of the open block, which is then empty; None
// when it holds nothing.
PyObject* ob_take(PyObject* o, PyObject*) {
    capture::OpenBlock& block = self_of(o)->block;
    if (block.empty()) Py_RETURN_NONE;
    PyObject* raw = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(block.bytes().data()),
                                              static_cast<Py_ssize_t>(block.size()));
    if (!raw) return nullptr;
    PyObject* taken = Py_BuildValue("(NKK)", raw, static_cast<unsigned long long>(block.block_frames()),
                                    static_cast<unsigned long long>(block.block_frame_bytes()));
    // Emptied only once the records are handed over: a failure keeps them.
    if (taken) block.clear();
    return taken;
}

PyObject* ob_clear(PyObject* o, PyObject*) {
    self_of(o)->block.clear();
    Py_RETURN_NONE;
}

Py_ssize_t ob_len(PyObject* o) { return static_cast<Py_ssize_t>(self_of(o)->block.size()); }

PyObject* ob_frames(PyObject* o, void*) { return PyLong_FromUnsignedLongLong(self_of(o)->block.frames()); }
PyObject* ob_frame_bytes(PyObject* o, void*) {
    return PyLong_FromUnsignedLongLong(self_of(o)->block.frame_bytes());
}
PyObject* ob_get_accepting(PyObject* o, void*) { return PyBool_FromLong(self_of(o)->accepting); }
int ob_set_accepting(PyObject* o, PyObject* value, void*) {
    if (value == nullptr) {
        PyErr_SetString(PyExc_AttributeError, "cannot delete accepting");
        return -1;
    }
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) return -1;
    self_of(o)->accepting = truth != 0;
    return 0;
}

PyMethodDef ob_methods[] = {
    {"append", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ob_append)), METH_FASTCALL,
     PyDoc_STR("append($self, code, recv_ns, payload, /)\n--\n\n"
               "Appends a record: 0 when the open block has no room (nothing appended), 1 when appended, "
               "2 when appended as the block's first record.")},
    {"take", ob_take, METH_NOARGS,
     PyDoc_STR("take($self, /)\n--\n\n(records, frames, frame bytes) of the open block, which is then empty; "
               "None if empty.")},
    {"clear", ob_clear, METH_NOARGS, PyDoc_STR("clear($self, /)\n--\n\nForgets the open block's records.")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef ob_getset[] = {
    {"frames", ob_frames, nullptr, PyDoc_STR("Frame records appended so far."), nullptr},
    {"frame_bytes", ob_frame_bytes, nullptr, PyDoc_STR("Their payload bytes."), nullptr},
    {"accepting", ob_get_accepting, ob_set_accepting,
     PyDoc_STR("Whether a ticker's tap may append frames without calling the recorder."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot ob_slots[] = {
    {Py_tp_doc, const_cast<char*>("A capture's open block (private to vornticker.recording).")},
    {Py_tp_new, reinterpret_cast<void*>(ob_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(ob_dealloc)},
    {Py_tp_methods, ob_methods},
    {Py_tp_getset, ob_getset},
    {Py_sq_length, reinterpret_cast<void*>(ob_len)},
    {0, nullptr},
};

PyType_Spec ob_spec = {
    "vornticker.vornticker.OpenBlock",
    sizeof(OpenBlockObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    ob_slots,
};

}  // namespace

int open_block_create_type(PyObject* module) {
    PyObject* type = PyType_FromModuleAndSpec(module, &ob_spec, nullptr);
    if (type == nullptr) return -1;
    g_type = reinterpret_cast<PyTypeObject*>(type);
    return PyModule_AddObjectRef(module, "OpenBlock", type);
}

void open_block_fini() noexcept { Py_CLEAR(g_type); }

bool is_open_block(PyObject* o) noexcept { return g_type != nullptr && Py_IS_TYPE(o, g_type); }

bool open_block_try_frame(PyObject* o, const uint8_t* p, size_t n, int64_t recv_ns) noexcept {
    OpenBlockObject* self = self_of(o);
    capture::OpenBlock& block = self->block;
    if (!self->accepting || block.empty() || n > UINT32_MAX || !block.fits(n)) return false;
    try {
        block.append(capture::kFrameRecord, recv_ns, p, n);
    } catch (const std::bad_alloc&) {
        return false;  // the recorder's own write() reports it
    }
    return true;
}

}  // namespace vorn
