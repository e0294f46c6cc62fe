// run_in_thread(): turns a synchronous function into a coroutine function
// whose body runs on a worker thread of the running loop (asyncio.to_thread).
#include "args.hpp"
#include "ticker_impl.hpp"

namespace vorn {

// --- run_in_thread ------------------------------------------------------------------

// The no-argument callable handed to asyncio.to_thread: func(*args, **kwargs).
PyObject* call_captured(PyObject* self, PyObject* const*, Py_ssize_t, PyObject*) {
    PyObject* captured = coro::closure_of(self);  // (func, args, kwargs)
    return PyObject_Call(PyTuple_GET_ITEM(captured, 0), PyTuple_GET_ITEM(captured, 1), PyTuple_GET_ITEM(captured, 2));
}

Body wrapper_body(PyObject* captured) {
    // Only the awaitable is kept across the await (the promise holds it).
    Ref awaitable;
    {
        Ref to_thread = global_attr(names::asyncio, names::to_thread);
        Ref name = check(PyUnicode_FromString("<lambda>"));
        Ref fn = check(coro::new_function(reinterpret_cast<vectorcallfunc>(call_captured), name.get(), name.get(),
                                          nullptr, nullptr, captured, false));
        awaitable = check(PyObject_CallOneArg(to_thread.get(), fn.get()));
    }
    Ref result = co_await await(std::move(awaitable));
    co_return result;
}

PyObject* wrapper_call(PyObject* fn, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Ref pos = Ref::steal(PyTuple_New(nargs));
    Ref kwargs = Ref::steal(PyDict_New());
    if (!pos || !kwargs) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(pos.get(), i, Py_NewRef(args[i]));
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, k), args[nargs + k]) < 0) return nullptr;
    }
    Ref captured = Ref::steal(PyTuple_Pack(3, coro::closure_of(fn), pos.get(), kwargs.get()));
    if (!captured) return nullptr;
    Ref cargs = Ref::steal(PyTuple_Pack(1, captured.get()));
    if (!cargs) return nullptr;
    return coro::make(texts::wrapper, texts::wrapper_qualname, std::move(cargs),
                      [](PyObject* const* a) { return wrapper_body(a[0]); });
}

PyObject* decorator_call(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const char* params[] = {"func"};
    PyObject* func = nullptr;
    if (parse_args("decorator", args, nargsf, kwnames, params, 1, 1, &func) < 0) return nullptr;
    return guarded_obj([&] {
        Ref wraps = global(names::wraps);
        Ref apply = check(PyObject_CallOneArg(wraps.get(), func));
        Ref wrapper = check(coro::new_function(wrapper_call, texts::wrapper, texts::wrapper_qualname,
                                               "(*args, **kwargs)", nullptr, func, true));
        return check(PyObject_CallOneArg(apply.get(), wrapper.get()));
    });
}

PyObject* run_in_thread(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (no_args("run_in_thread", static_cast<size_t>(nargs), kwnames) < 0) return nullptr;
    return coro::new_function(decorator_call, texts::decorator, texts::decorator_qualname, "(func)", nullptr, nullptr,
                              false);
}

}  // namespace vorn
