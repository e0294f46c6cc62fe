// Driver of C++ coroutine bodies as Python coroutine objects.
#include "coro.hpp"

#include <cstddef>
#include <exception>

#include <frameobject.h>

#include "names.hpp"

namespace vorn {
namespace {

enum State : uint8_t { Created, Suspended, Running, Done };

PyTypeObject* coro_type = nullptr;
PyTypeObject* function_type = nullptr;
PyObject* warn_unawaited = nullptr;   // warnings._warn_unawaited_coroutine
PyObject* mark_coroutine = nullptr;   // inspect.markcoroutinefunction
PyObject* module_name = nullptr;

inline CoroObject* as_coro(PyObject* o) { return reinterpret_cast<CoroObject*>(o); }

PyObject* being_awaited_error() {
    PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
    return nullptr;
}

// The iterator to drive for `await obj`, as the interpreter's own await does.
PyObject* awaitable_iter(PyObject* o) {
    PyTypeObject* t = Py_TYPE(o);
    if (PyCoro_CheckExact(o)) {
        // A native coroutine that another awaiter is driving is refused.
        PyObject* awaiting = nullptr;
        if (PyObject_GetOptionalAttr(o, names::cr_await, &awaiting) < 0) return nullptr;
        const bool busy = awaiting && awaiting != Py_None;
        Py_XDECREF(awaiting);
        if (busy) return being_awaited_error();
        return Py_NewRef(o);
    }
    if (PyGen_CheckExact(o)) {
        // Generators decorated with types.coroutine (asyncio.sleep(0) uses one).
        PyObject* code = reinterpret_cast<PyObject*>(PyGen_GetCode(reinterpret_cast<PyGenObject*>(o)));
        if (!code) return nullptr;
        PyObject* flags = PyObject_GetAttr(code, names::co_flags);
        Py_DECREF(code);
        if (!flags) return nullptr;
        const long value = PyLong_AsLong(flags);
        Py_DECREF(flags);
        if (value == -1 && PyErr_Occurred()) return nullptr;
        if (value & CO_ITERABLE_COROUTINE) return Py_NewRef(o);
    }
    unaryfunc getter = t->tp_as_async ? t->tp_as_async->am_await : nullptr;
    if (!getter) {
        PyErr_Format(PyExc_TypeError, "'%.100s' object can't be awaited", t->tp_name);
        return nullptr;
    }
    PyObject* it = getter(o);
    if (!it) return nullptr;
    if (PyCoro_CheckExact(it)) {
        Py_DECREF(it);
        PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
        return nullptr;
    }
    if (!PyIter_Check(it)) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'", Py_TYPE(it)->tp_name);
        Py_DECREF(it);
        return nullptr;
    }
    return it;
}

// StopIteration(value) raised, as the `send` method reports a return.
void set_stop_iteration(PyObject* value) {
    PyObject* e = PyObject_CallOneArg(PyExc_StopIteration, value);
    if (e) PyErr_SetRaisedException(e);
}

// Takes the value carried by a pending StopIteration. Returns 0 and a new
// reference when the pending error is StopIteration, -1 otherwise (the error
// stays set).
int fetch_stop_iteration(PyObject** value) {
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return -1;
    PyObject* e = PyErr_GetRaisedException();
    *value = PyObject_GetAttrString(e, "value");
    Py_DECREF(e);
    return *value ? 0 : -1;
}

// Closes a sub-iterator the way a yield-from delegation does.
int close_iter(PyObject* it) {
    PyObject* meth = nullptr;
    if (PyObject_GetOptionalAttr(it, names::close, &meth) < 0) return -1;
    if (!meth) return 0;
    PyObject* r = PyObject_CallNoArgs(meth);
    Py_DECREF(meth);
    if (!r) return -1;
    Py_DECREF(r);
    return 0;
}

// Throws `exc` (owned, consumed) into the body's current await. On return the
// promise either delegates on (*out is a yielded value, PYGEN_NEXT) or holds
// what the body is to be resumed with.
PySendResult delegate_throw(Promise& p, PyObject* exc, PyObject** out) {
    PyObject* it = p.await_iter;
    if (PyErr_GivenExceptionMatches(exc, PyExc_GeneratorExit)) {
        p.await_iter = nullptr;
        const int rc = close_iter(it);
        Py_DECREF(it);
        if (rc < 0) {
            Py_DECREF(exc);
            p.thrown = PyErr_GetRaisedException();
        } else {
            p.thrown = exc;
        }
        return PYGEN_ERROR;
    }
    PyObject* meth = nullptr;
    if (PyObject_GetOptionalAttr(it, names::throw_, &meth) < 0) {
        Py_DECREF(exc);
        Py_CLEAR(p.await_iter);
        p.thrown = PyErr_GetRaisedException();
        return PYGEN_ERROR;
    }
    if (!meth) {
        Py_CLEAR(p.await_iter);
        p.thrown = exc;
        return PYGEN_ERROR;
    }
    PyObject* r = PyObject_CallOneArg(meth, exc);
    Py_DECREF(meth);
    Py_DECREF(exc);
    if (r) {
        *out = r;
        return PYGEN_NEXT;
    }
    Py_CLEAR(p.await_iter);
    PyObject* value = nullptr;
    if (fetch_stop_iteration(&value) == 0) {
        p.sent = value;
        return PYGEN_RETURN;
    }
    p.thrown = PyErr_GetRaisedException();
    return PYGEN_ERROR;
}

void destroy_frame(CoroObject* c) {
    if (c->frame) {
        CoHandle h = std::exchange(c->frame, {});
        h.destroy();
    }
    Py_CLEAR(c->pyframe);
}

// A body that raises StopIteration must not look like a return: it becomes
// RuntimeError with the original as cause, as for a native coroutine (which
// lets StopAsyncIteration through unchanged, and so does this). Takes and
// returns an owned exception.
PyObject* stop_iteration_error(PyObject* error) {
    if (!PyErr_GivenExceptionMatches(error, PyExc_StopIteration)) return error;
    PyObject* wrapped = PyObject_CallOneArg(PyExc_RuntimeError, texts::coroutine_raised_stop);
    if (!wrapped) {
        Py_DECREF(error);
        return PyErr_GetRaisedException();
    }
    PyException_SetCause(wrapped, Py_NewRef(error));
    PyException_SetContext(wrapped, error);
    return wrapped;
}

// One step of the coroutine: send `arg` in, or throw `exc` (owned, consumed)
// in when it is not NULL.
PySendResult step(CoroObject* c, PyObject* arg, PyObject* exc, PyObject** out) {
    *out = nullptr;
    if (c->state == Running) {
        Py_XDECREF(exc);
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return PYGEN_ERROR;
    }
    if (c->state == Done) {
        // Sent or thrown into, a finished coroutine refuses alike.
        Py_XDECREF(exc);
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return PYGEN_ERROR;
    }
    if (c->state == Created) {
        if (exc) {
            // Thrown in before the first line: the body never runs.
            c->state = Done;
            destroy_frame(c);
            PyErr_SetRaisedException(exc);
            return PYGEN_ERROR;
        }
        if (arg != Py_None) {
            PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
            return PYGEN_ERROR;
        }
    }
    c->state = Running;
    // Keep the object alive while its frame runs: the body may drop the last
    // outside reference.
    Py_INCREF(c);
    Promise& p = c->frame.promise();
    PySendResult result;
    for (;;) {
        if (p.await_iter) {
            PyObject* r = nullptr;
            PySendResult st;
            if (exc) {
                st = delegate_throw(p, std::exchange(exc, nullptr), &r);
            } else {
                st = PyIter_Send(p.await_iter, arg, &r);
                if (st != PYGEN_NEXT) {
                    Py_CLEAR(p.await_iter);
                    if (st == PYGEN_RETURN) {
                        p.sent = r;
                    } else {
                        p.thrown = PyErr_GetRaisedException();
                    }
                }
            }
            if (st == PYGEN_NEXT) {
                c->state = Suspended;
                *out = r;
                result = PYGEN_NEXT;
                break;
            }
        } else if (exc) {
            p.thrown = std::exchange(exc, nullptr);
        }
        c->frame.resume();
        if (c->frame.done()) {
            c->state = Done;
            PyObject* error = std::exchange(p.error, nullptr);
            PyObject* value = std::exchange(p.result, nullptr);
            destroy_frame(c);
            if (error) {
                Py_XDECREF(value);
                PyErr_SetRaisedException(stop_iteration_error(error));
                result = PYGEN_ERROR;
            } else {
                *out = value ? value : Py_NewRef(Py_None);
                result = PYGEN_RETURN;
            }
            break;
        }
        // Suspended at a new await: prime its iterator with None.
        arg = Py_None;
    }
    Py_DECREF(c);
    return result;
}

// --- coroutine type slots ------------------------------------------------

PySendResult coro_am_send(PyObject* self, PyObject* arg, PyObject** out) {
    return step(as_coro(self), arg, nullptr, out);
}

// A second awaiter of a coroutine that is suspended in an await is refused
// at once, as the interpreter refuses it for a native coroutine.
PyObject* coro_am_await(PyObject* self) {
    if (as_coro(self)->state == Suspended) return being_awaited_error();
    return Py_NewRef(self);
}

PyObject* coro_iternext(PyObject* self) {
    PyObject* r = nullptr;
    const PySendResult st = step(as_coro(self), Py_None, nullptr, &r);
    if (st == PYGEN_NEXT) return r;
    if (st == PYGEN_RETURN) {
        if (r != Py_None) set_stop_iteration(r);
        Py_DECREF(r);
    }
    return nullptr;
}

PyObject* finish_method_step(PySendResult st, PyObject* r) {
    if (st == PYGEN_NEXT) return r;
    if (st == PYGEN_RETURN) {
        set_stop_iteration(r);
        Py_DECREF(r);
    }
    return nullptr;
}

PyObject* coro_send(PyObject* self, PyObject* arg) {
    PyObject* r = nullptr;
    const PySendResult st = step(as_coro(self), arg, nullptr, &r);
    return finish_method_step(st, r);
}

// throw(exc) or the deprecated throw(type[, value[, traceback]]).
PyObject* coro_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        return nullptr;
    }
    PyObject* typ = args[0];
    PyObject* val = nargs > 1 ? args[1] : Py_None;
    PyObject* tb = nargs > 2 ? args[2] : Py_None;
    if (tb != Py_None && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    PyObject* exc;
    if (PyExceptionInstance_Check(typ)) {
        if (val != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        exc = Py_NewRef(typ);
    } else if (PyExceptionClass_Check(typ)) {
        if (PyExceptionInstance_Check(val) && PyObject_TypeCheck(val, reinterpret_cast<PyTypeObject*>(typ))) {
            exc = Py_NewRef(val);
        } else if (val == Py_None) {
            exc = PyObject_CallNoArgs(typ);
        } else if (PyTuple_Check(val)) {
            exc = PyObject_Call(typ, val, nullptr);
        } else {
            exc = PyObject_CallOneArg(typ, val);
        }
        if (!exc) return nullptr;
        if (!PyExceptionInstance_Check(exc)) {
            PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %s", typ,
                         Py_TYPE(exc)->tp_name);
            Py_DECREF(exc);
            return nullptr;
        }
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(typ)->tp_name);
        return nullptr;
    }
    if (tb != Py_None && PyException_SetTraceback(exc, tb) < 0) {
        Py_DECREF(exc);
        return nullptr;
    }
    PyObject* r = nullptr;
    const PySendResult st = step(as_coro(self), Py_None, exc, &r);
    return finish_method_step(st, r);
}

PyObject* coro_close(PyObject* self, PyObject*) {
    CoroObject* c = as_coro(self);
    if (c->state == Running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return nullptr;
    }
    if (c->state != Suspended) {
        c->state = Done;
        destroy_frame(c);
        Py_RETURN_NONE;
    }
    PyObject* exc = PyObject_CallNoArgs(PyExc_GeneratorExit);
    if (!exc) return nullptr;
    PyObject* r = nullptr;
    const PySendResult st = step(c, Py_None, exc, &r);
    if (st == PYGEN_NEXT) {
        Py_DECREF(r);
        PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
        return nullptr;
    }
    if (st == PYGEN_RETURN) return r;
    if (PyErr_ExceptionMatches(PyExc_GeneratorExit) || PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

void coro_finalize(PyObject* self) {
    CoroObject* c = as_coro(self);
    if (c->state == Done || !c->frame) return;
    PyObject* pending = PyErr_GetRaisedException();
    if (c->state == Created) {
        c->state = Done;
        destroy_frame(c);
        PyObject* r = warn_unawaited ? PyObject_CallOneArg(warn_unawaited, self) : nullptr;
        if (!warn_unawaited) {
            PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%S' was never awaited", c->qualname);
        }
        if (r) {
            Py_DECREF(r);
        } else if (PyErr_Occurred()) {
            PyErr_WriteUnraisable(self);
        }
    } else {
        // Suspended: run the body's clean-up, like a collected native coroutine.
        PyObject* r = coro_close(self, nullptr);
        if (r) {
            Py_DECREF(r);
        } else {
            PyErr_WriteUnraisable(self);
        }
    }
    PyErr_SetRaisedException(pending);
}

int coro_traverse(PyObject* self, visitproc visit, void* arg) {
    CoroObject* c = as_coro(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(c->args);
    Py_VISIT(c->name);
    Py_VISIT(c->qualname);
    Py_VISIT(c->code);
    Py_VISIT(c->pyframe);
    if (c->frame) return c->frame.promise().traverse(visit, arg);
    return 0;
}

int coro_clear(PyObject* self) {
    CoroObject* c = as_coro(self);
    if (c->state == Running) return 0;  // its frame is on the C stack
    // A cleared coroutine is finished; the frame goes before args, which it
    // borrows from.
    c->state = Done;
    destroy_frame(c);
    Py_CLEAR(c->args);
    return 0;
}

void coro_dealloc(PyObject* self) {
    CoroObject* c = as_coro(self);
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (c->weakreflist) PyObject_ClearWeakRefs(self);
    destroy_frame(c);
    Py_CLEAR(c->args);
    Py_CLEAR(c->name);
    Py_CLEAR(c->qualname);
    Py_CLEAR(c->code);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* coro_repr(PyObject* self) {
    return PyUnicode_FromFormat("<coroutine object %U at %p>", as_coro(self)->qualname, self);
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_coro(self)->name); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_coro(self)->qualname); }

int set_str(PyObject*& field, PyObject* value, const char* what) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    set_field(field, value);
    return 0;
}
int set_name(PyObject* self, PyObject* v, void*) { return set_str(as_coro(self)->name, v, "__name__"); }
int set_qualname(PyObject* self, PyObject* v, void*) { return set_str(as_coro(self)->qualname, v, "__qualname__"); }

PyObject* get_running(PyObject* self, void*) { return PyBool_FromLong(as_coro(self)->state == Running); }
PyObject* get_suspended(PyObject* self, void*) { return PyBool_FromLong(as_coro(self)->state == Suspended); }
PyObject* get_await(PyObject* self, void*) {
    CoroObject* c = as_coro(self);
    PyObject* it = c->frame ? c->frame.promise().await_iter : nullptr;
    return Py_NewRef(it ? it : Py_None);
}
PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

// cr_code: an empty code object with the coroutine's names; its file name is
// in angle brackets, so linecache and tracebacks look for no source.
PyObject* get_code(PyObject* self, void*) {
    CoroObject* c = as_coro(self);
    if (!c->code) {
        const char* name = PyUnicode_AsUTF8(c->name);
        if (!name) return nullptr;
        Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty("<vornticker>", name, 1)));
        if (!code) return nullptr;
        Ref kw = Ref::steal(PyDict_New());
        if (!kw || PyDict_SetItem(kw.get(), names::co_qualname, c->qualname) < 0) return nullptr;
        Ref replace = Ref::steal(PyObject_GetAttr(code.get(), names::replace));
        Ref empty = Ref::steal(PyTuple_New(0));
        if (!replace || !empty) return nullptr;
        Ref named = Ref::steal(PyObject_Call(replace.get(), empty.get(), kw.get()));
        if (!named) return nullptr;
        if (!c->code) c->code = named.release();
    }
    return Py_NewRef(c->code);
}

// cr_frame: None once done (inspect's CORO_CLOSED), else a frame of cr_code,
// the same one each time, so inspect.getcoroutinestate() tells CREATED from
// CLOSED and asyncio's stack and call-graph helpers find a frame to show.
PyObject* get_frame(PyObject* self, void*) {
    CoroObject* c = as_coro(self);
    if (c->state == Done || !c->frame) Py_RETURN_NONE;
    if (!c->pyframe) {
        Ref code = Ref::steal(get_code(self, nullptr));
        if (!code) return nullptr;
        Ref globals = Ref::steal(PyDict_New());
        if (!globals) return nullptr;
        PyObject* f = reinterpret_cast<PyObject*>(PyFrame_New(
            PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals.get(), nullptr));
        if (!f) return nullptr;
        if (c->pyframe || c->state == Done) {
            Py_DECREF(f);
        } else {
            c->pyframe = f;
        }
    }
    if (!c->pyframe) Py_RETURN_NONE;
    return Py_NewRef(c->pyframe);
}

PyMethodDef coro_methods[] = {
    {"send", coro_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coro_throw)), METH_FASTCALL, nullptr},
    {"close", coro_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef coro_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"cr_await", get_await, nullptr, nullptr, nullptr},
    {"cr_frame", get_frame, nullptr, nullptr, nullptr},
    {"cr_code", get_code, nullptr, nullptr, nullptr},
    {"cr_origin", get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef coro_members[] = {
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(CoroObject, weakreflist), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot coro_slots[] = {
    {Py_am_send, reinterpret_cast<void*>(coro_am_send)},
    {Py_am_await, reinterpret_cast<void*>(coro_am_await)},
    {Py_tp_iternext, reinterpret_cast<void*>(coro_iternext)},
    {Py_tp_methods, coro_methods},
    {Py_tp_getset, coro_getset},
    {Py_tp_members, coro_members},
    {Py_tp_finalize, reinterpret_cast<void*>(coro_finalize)},
    {Py_tp_traverse, reinterpret_cast<void*>(coro_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(coro_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(coro_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(coro_repr)},
    {0, nullptr},
};

PyType_Spec coro_spec = {
    "vornticker.vornticker.coroutine",
    sizeof(CoroObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    coro_slots,
};

// --- coroutine function type ----------------------------------------------

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* closure;
};

inline FunctionObject* as_function(PyObject* o) { return reinterpret_cast<FunctionObject*>(o); }

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (!obj || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    PyObject* qualname = nullptr;
    if (PyObject_GetOptionalAttr(self, names::__qualname__, &qualname) < 0) return nullptr;
    PyObject* r = PyUnicode_FromFormat("<function %S at %p>", qualname ? qualname : Py_None, self);
    Py_XDECREF(qualname);
    return r;
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_function(self)->closure);
    return PyObject_VisitManagedDict(self, visit, arg);
}

int function_clear(PyObject* self) {
    Py_CLEAR(as_function(self)->closure);
    PyObject_ClearManagedDict(self);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// __annotations__ and __annotate__ behave as on a Python function, because
// functools.wraps copies only __annotate__: setting a callable __annotate__
// drops the stored __annotations__, which the next read computes from it.
PyObject* function_get_annotations(PyObject* self, void*) {
    Ref dict = Ref::steal(PyObject_GenericGetDict(self, nullptr));
    if (!dict) return nullptr;
    PyObject* ann = nullptr;
    if (PyDict_GetItemRef(dict.get(), names::__annotations__, &ann) != 0) return ann;
    PyObject* annotate = nullptr;
    if (PyDict_GetItemRef(dict.get(), names::__annotate__, &annotate) < 0) return nullptr;
    if (annotate && annotate != Py_None) {
        Ref format = Ref::steal(PyLong_FromLong(1));  // annotationlib.Format.VALUE
        ann = format ? PyObject_CallOneArg(annotate, format.get()) : nullptr;
        if (ann && !PyDict_Check(ann)) {
            PyErr_Format(PyExc_TypeError, "__annotate__ returned non-dict of type '%.100s'", Py_TYPE(ann)->tp_name);
            Py_CLEAR(ann);
        }
    } else {
        ann = PyDict_New();
    }
    Py_XDECREF(annotate);
    if (ann && PyDict_SetItem(dict.get(), names::__annotations__, ann) < 0) Py_CLEAR(ann);
    return ann;
}

int function_set_annotations(PyObject* self, PyObject* value, void*) {
    Ref dict = Ref::steal(PyObject_GenericGetDict(self, nullptr));
    if (!dict) return -1;
    if (!value) return PyDict_Pop(dict.get(), names::__annotations__, nullptr) < 0 ? -1 : 0;
    return PyDict_SetItem(dict.get(), names::__annotations__, value);
}

PyObject* function_get_annotate(PyObject* self, void*) {
    Ref dict = Ref::steal(PyObject_GenericGetDict(self, nullptr));
    if (!dict) return nullptr;
    PyObject* annotate = nullptr;
    if (PyDict_GetItemRef(dict.get(), names::__annotate__, &annotate) < 0) return nullptr;
    return annotate ? annotate : Py_NewRef(Py_None);
}

int function_set_annotate(PyObject* self, PyObject* value, void*) {
    if (!value) {
        PyErr_SetString(PyExc_TypeError, "__annotate__ cannot be deleted");
        return -1;
    }
    Ref dict = Ref::steal(PyObject_GenericGetDict(self, nullptr));
    if (!dict || PyDict_SetItem(dict.get(), names::__annotate__, value) < 0) return -1;
    if (value != Py_None && PyDict_Pop(dict.get(), names::__annotations__, nullptr) < 0) return -1;
    return 0;
}

PyGetSetDef function_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__annotations__", function_get_annotations, function_set_annotations, nullptr, nullptr},
    {"__annotate__", function_get_annotate, function_set_annotate, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_getset, function_getset},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "vornticker.vornticker.function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_MANAGED_DICT | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    function_slots,
};

}  // namespace

void Promise::unhandled_exception() noexcept {
    try {
        throw;
    } catch (PyError& e) {
        error = e.take().release();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        error = PyErr_GetRaisedException();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in a coroutine body");
        error = PyErr_GetRaisedException();
    }
}

bool Await::await_suspend(CoHandle h) noexcept {
    p_ = &h.promise();
    PyObject* it = awaitable_iter(obj_.get());
    obj_.reset();
    if (!it) {
        p_->thrown = PyErr_GetRaisedException();
        return false;
    }
    p_->await_iter = it;
    return true;
}

Ref Await::await_resume() {
    if (PyObject* exc = std::exchange(p_->thrown, nullptr)) throw PyError(Ref::steal(exc));
    PyObject* v = std::exchange(p_->sent, nullptr);
    return v ? Ref::steal(v) : Ref::none();
}

namespace coro {

bool is_coroutine(PyObject* o) noexcept { return Py_TYPE(o) == coro_type; }

CoroObject* alloc(PyObject* name, PyObject* qualname, Ref args) noexcept {
    CoroObject* c = PyObject_GC_New(CoroObject, coro_type);
    if (!c) return nullptr;
    c->frame = {};
    c->args = args.release();
    c->name = Py_NewRef(name);
    c->qualname = Py_NewRef(qualname);
    c->weakreflist = nullptr;
    c->code = nullptr;
    c->pyframe = nullptr;
    c->state = Created;
    PyObject_GC_Track(c);
    return c;
}

PyObject* new_function(vectorcallfunc impl, PyObject* name, PyObject* qualname, const char* text_signature,
                       PyObject* annotations, PyObject* closure, bool coroutine) noexcept {
    FunctionObject* f = PyObject_GC_New(FunctionObject, function_type);
    if (!f) return nullptr;
    f->vectorcall = impl;
    f->closure = Py_XNewRef(closure);
    PyObject_GC_Track(f);
    Ref self = Ref::steal(reinterpret_cast<PyObject*>(f));
    Ref sig = Ref::steal(text_signature ? PyUnicode_FromString(text_signature) : Py_NewRef(Py_None));
    Ref ann = Ref::steal(annotations ? Py_NewRef(annotations) : PyDict_New());
    if (!sig || !ann) return nullptr;
    const struct {
        PyObject* key;
        PyObject* value;
    } attrs[] = {
        {names::__module__, module_name}, {names::__name__, name},
        {names::__qualname__, qualname},  {names::__doc__, Py_None},
        {names::__annotations__, ann.get()}, {names::__text_signature__, sig.get()},
    };
    for (const auto& a : attrs) {
        if (PyObject_GenericSetAttr(self.get(), a.key, a.value) < 0) return nullptr;
    }
    if (coroutine) {
        Ref marked = Ref::steal(PyObject_CallOneArg(mark_coroutine, self.get()));
        if (!marked) return nullptr;
    }
    return self.release();
}

PyObject* closure_of(PyObject* function) noexcept { return as_function(function)->closure; }

int annotate_signature(PyObject* function) noexcept try {
    Ref inspect = check(PyImport_ImportModule("inspect"));
    Ref sig = check(PyObject_CallMethodOneArg(inspect.get(), names::signature, function));
    Ref ann = check(PyObject_GetAttr(function, names::__annotations__));
    Ref empty = check(PyTuple_New(0));
    Ref params = check(PyList_New(0));
    {
        Ref mapping = check(PyObject_GetAttr(sig.get(), names::parameters));
        Ref values = check(PyObject_CallMethodNoArgs(mapping.get(), names::values));
        Ref it = check(PyObject_GetIter(values.get()));
        while (Ref param = Ref::steal(PyIter_Next(it.get()))) {
            Ref pname = check(PyObject_GetAttr(param.get(), names::name));
            PyObject* found = nullptr;
            check_rc(PyMapping_GetOptionalItem(ann.get(), pname.get(), &found));
            if (Ref annotation = Ref::steal(found)) {
                Ref replace = check(PyObject_GetAttr(param.get(), names::replace));
                Ref kw = check(PyDict_New());
                check_rc(PyDict_SetItem(kw.get(), names::annotation, annotation.get()));
                param = check(PyObject_Call(replace.get(), empty.get(), kw.get()));
            }
            check_rc(PyList_Append(params.get(), param.get()));
        }
        if (PyErr_Occurred()) throw_current();
    }
    Ref kw = check(PyDict_New());
    check_rc(PyDict_SetItem(kw.get(), names::parameters, params.get()));
    {
        Ref key = check(PyUnicode_FromString("return"));
        PyObject* found = nullptr;
        check_rc(PyMapping_GetOptionalItem(ann.get(), key.get(), &found));
        if (Ref ret = Ref::steal(found)) check_rc(PyDict_SetItem(kw.get(), names::return_annotation, ret.get()));
    }
    Ref replace = check(PyObject_GetAttr(sig.get(), names::replace));
    Ref annotated = check(PyObject_Call(replace.get(), empty.get(), kw.get()));
    check_rc(PyObject_SetAttr(function, names::__signature__, annotated.get()));
    return 0;
} catch (PyError& e) {
    e.restore();
    return -1;
}

void fini() noexcept {
    Py_CLEAR(module_name);
    Py_CLEAR(coro_type);
    Py_CLEAR(function_type);
    Py_CLEAR(mark_coroutine);
    Py_CLEAR(warn_unawaited);
}

int init(PyObject* module) try {
    module_name = PyModule_GetNameObject(module);
    if (!module_name) return -1;
    coro_type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &coro_spec, nullptr));
    if (!coro_type) return -1;
    function_type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &function_spec, nullptr));
    if (!function_type) return -1;

    // asyncio accepts a coroutine object when collections.abc.Coroutine does.
    Ref abc = check(PyImport_ImportModule("collections.abc"));
    Ref coroutine_abc = check(PyObject_GetAttr(abc.get(), names::Coroutine));
    Ref reg = check(PyObject_CallMethodOneArg(coroutine_abc.get(), names::register_,
                                              reinterpret_cast<PyObject*>(coro_type)));

    Ref inspect = check(PyImport_ImportModule("inspect"));
    mark_coroutine = check(PyObject_GetAttr(inspect.get(), names::markcoroutinefunction)).release();
    Ref warnings = check(PyImport_ImportModule("warnings"));
    if (PyObject_GetOptionalAttr(warnings.get(), names::_warn_unawaited_coroutine, &warn_unawaited) < 0) return -1;
    return 0;
} catch (PyError& e) {
    e.restore();
    return -1;
}

}  // namespace coro
}  // namespace vorn
