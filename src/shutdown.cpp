// SIGINT/SIGTERM handling and the orderly shutdown: close, cancel the loop's
// other tasks, restore the previous handler, stop the loop, re-deliver.
#include "args.hpp"
#include "ticker_impl.hpp"

namespace vorn {

// --- shutdown ------------------------------------------------------------------------

int initiate_shutdown(TickerObject* self) {
    if (self->_shutdown_scheduled) return 0;
    self->_shutdown_scheduled = 1;
    return guarded([&] {
        log(names::info, texts::ws_disconnected);
        {
            Ref ev = Ref::borrow(self->IS_CONNECTED);
            call_method0(ev.get(), names::clear);
        }
        Ref cb = getattr(as_obj(self), names::_schedule_async_shutdown);
        Ref loop = Ref::borrow(self->_loop);
        call_method1(loop.get(), names::call_soon_threadsafe, cb.get());
    });
}

PyObject* py_schedule_async_shutdown(PyObject* o, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (no_args("_schedule_async_shutdown", static_cast<size_t>(nargs), kwnames) < 0) return nullptr;
    TickerObject* self = as_ticker(o);
    return guarded_obj([&] {
        Ref coro = call_method0(o, names::_async_shutdown);
        Ref loop = Ref::borrow(self->_loop);
        call_method1(loop.get(), names::create_task, coro.get());
        return Ref::none();
    });
}

// Re-delivers the signal: closure is (prev_handler, signum).
PyObject* trigger_signal_call(PyObject* fn, PyObject* const*, size_t nargsf, PyObject* kwnames) {
    if (no_args("_trigger_signal", nargsf, kwnames) < 0) return nullptr;
    PyObject* captured = coro::closure_of(fn);
    PyObject* prev = PyTuple_GET_ITEM(captured, 0);
    PyObject* signum = PyTuple_GET_ITEM(captured, 1);
    return guarded_obj([&] {
        Ref signal = global(names::signal);
        Ref default_int = getattr(signal.get(), names::default_int_handler);
        const int is_default = PyObject_RichCompareBool(prev, default_int.get(), Py_EQ);
        if (is_default < 0) throw_current();
        if (is_default) {
            PyObject* args[] = {signum, Py_None};
            return check(PyObject_Vectorcall(default_int.get(), args, 2, nullptr));
        }
        if (prev != Py_None && PyCallable_Check(prev)) {
            PyObject* args[] = {signum, Py_None};
            return check(PyObject_Vectorcall(prev, args, 2, nullptr));
        }
        return call_method1(signal.get(), names::raise_signal, signum);
    });
}

Body async_shutdown_body(TickerObject* self) {
    Promise& frame = co_await this_promise();
    const int signum = self->_pending_signal;
    Local signum_obj(frame, check(PyLong_FromLong(signum)));
    Local prev_handler(frame);
    {
        Ref handlers = Ref::borrow(self->_prev_handlers);
        prev_handler = call_method1(handlers.get(), names::get, signum_obj.get());
    }
    Ref cancelled;  // gather() over every other task of the loop, or empty
    {
        Ref asyncio = global(names::asyncio);
        Ref current = call_method0(asyncio.get(), names::current_task);
        Ref tasks = check(PyList_New(0));
        {
            Ref loop = Ref::borrow(self->_loop);
            Ref all = call_method1(asyncio.get(), names::all_tasks, loop.get());
            Ref it = check(PyObject_GetIter(all.get()));
            while (Ref task = Ref::steal(PyIter_Next(it.get()))) {
                if (task.get() != current.get()) check_rc(PyList_Append(tasks.get(), task.get()));
            }
            if (PyErr_Occurred()) throw_current();
        }
        const Py_ssize_t ntasks = PyList_GET_SIZE(tasks.get());
        for (Py_ssize_t i = 0; i < ntasks; ++i) call_method0(PyList_GET_ITEM(tasks.get(), i), names::cancel);
        if (ntasks > 0) {
            Ref gather = getattr(asyncio.get(), names::gather);
            Ref args = check(PyList_AsTuple(tasks.get()));
            Ref kwargs = check(PyDict_New());
            check_rc(PyDict_SetItem(kwargs.get(), names::return_exceptions, Py_True));
            cancelled = check(PyObject_Call(gather.get(), args.get(), kwargs.get()));
        }
    }
    if (cancelled) co_await await(std::move(cancelled));
    if (signum != 0) {
        try {
            Ref loop = Ref::borrow(self->_loop);
            call_method1(loop.get(), names::remove_signal_handler, signum_obj.get());
        } catch (PyError& e) {
            if (!e.matches(PyExc_NotImplementedError) && !e.matches(PyExc_RuntimeError) &&
                !e.matches(PyExc_ValueError)) {
                throw;
            }
        }
        if (prev_handler.get() != Py_None) {
            Ref signal = global(names::signal);
            Ref ign = getattr(signal.get(), names::SIG_IGN);
            const int differs = PyObject_RichCompareBool(prev_handler.get(), ign.get(), Py_NE);
            if (differs < 0) throw_current();
            if (differs) call_method2(signal.get(), names::signal, signum_obj.get(), prev_handler.get());
        }
    }
    {
        Ref loop = Ref::borrow(self->_loop);
        call_method0(loop.get(), names::stop);
    }
    if (signum != 0) {
        Ref captured = check(PyTuple_Pack(2, prev_handler.get(), signum_obj.get()));
        Ref trigger = check(coro::new_function(trigger_signal_call, texts::trigger_signal,
                                               texts::trigger_signal_qualname, "()", nullptr, captured.get(), false));
        Ref loop = Ref::borrow(self->_loop);
        call_method1(loop.get(), names::call_soon, trigger.get());
    }
    co_return Ref{};
}

// --- signals ---------------------------------------------------------------------------

int add_signal_handler(TickerObject* self) {
    return guarded([&] {
        for (PyObject* name : {texts::SIGINT, texts::SIGTERM}) {
            Ref signal = global(names::signal);
            Ref num = check(PyNumber_Long(getattr(signal.get(), name).get()));
            {
                Ref prev = call_method1(signal.get(), names::getsignal, num.get());
                Ref handlers = Ref::borrow(self->_prev_handlers);
                check_rc(PyObject_SetItem(handlers.get(), num.get(), prev.get()));
            }
            try {
                Ref cb = getattr(as_obj(self), names::_on_signal);
                Ref loop = Ref::borrow(self->_loop);
                PyObject* args[] = {loop.get(), num.get(), cb.get(), num.get()};
                check(PyObject_VectorcallMethod(names::add_signal_handler, args, 4 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                nullptr));
            } catch (PyError& e) {
                if (!e.matches(PyExc_NotImplementedError) && !e.matches(PyExc_RuntimeError) &&
                    !e.matches(PyExc_ValueError)) {
                    throw;
                }
                log_fmt(names::debug, texts::signal_unsupported, name);
            }
        }
    });
}

PyObject* py_on_signal(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const char* params[] = {"signum"};
    PyObject* arg = nullptr;
    if (parse_args("_on_signal", args, static_cast<size_t>(nargs), kwnames, params, 1, 1, &arg) < 0) return nullptr;
    const int signum = PyLong_AsInt(arg);
    if (signum == -1 && PyErr_Occurred()) return nullptr;
    TickerObject* self = as_ticker(o);
    return guarded_obj([&] {
        Ref num = check(PyLong_FromLong(signum));
        Ref coro = call_method1(o, names::stop_signal_handler, num.get());
        Ref loop = Ref::borrow(self->_loop);
        Ref task = call_method1(loop.get(), names::create_task, coro.get());
        set_field(self->_signal_task, task.get());
        return Ref::none();
    });
}

Body stop_signal_handler_body(TickerObject* self, PyObject* signum) {
    if (self->_shutdown_initiated) co_return Ref{};
    self->_shutdown_initiated = 1;
    const int truthy = PyObject_IsTrue(signum);
    if (truthy < 0) throw_current();
    if (truthy) {
        Ref as_int = check(PyNumber_Long(signum));
        const int value = PyLong_AsInt(as_int.get());
        if (value == -1 && PyErr_Occurred()) throw_current();
        self->_pending_signal = value;
    } else {
        self->_pending_signal = 0;
    }
    log(names::info, texts::closure_by_interrupt);
    call_method0(as_obj(self), names::close_websocket);
    try {
        Ref fut;
        {
            Ref ev = Ref::borrow(self->_stop_event);
            Ref wait = call_method0(ev.get(), names::wait);
            Ref limit = check(PyLong_FromLong(2));
            fut = wait_for(wait.get(), limit.get());
        }
        co_await await(std::move(fut));
    } catch (PyError& e) {
        if (!matches_asyncio_timeout(e)) throw;
        check_rc(self->vtab->_initiate_shutdown(self));
    }
    co_return Ref{};
}

// --- coroutine entry points -----------------------------------------------------------

PyObject* async_shutdown_call(PyObject* fn, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyObject* self = method_self(fn, args, nargsf);
    if (!self) return nullptr;
    if (no_args("_async_shutdown", PyVectorcall_NARGS(nargsf) - 1, kwnames) < 0) return nullptr;
    return make_method_coro(fn, Ref::steal(PyTuple_Pack(1, self)),
                            [](PyObject* const* a) { return async_shutdown_body(as_ticker(a[0])); });
}

PyObject* stop_signal_handler_call(PyObject* fn, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyObject* self = method_self(fn, args, nargsf);
    if (!self) return nullptr;
    const char* params[] = {"signum"};
    PyObject* signum = nullptr;
    if (parse_args("stop_signal_handler", args + 1, PyVectorcall_NARGS(nargsf) - 1, kwnames, params, 1, 0, &signum) <
        0)
        return nullptr;
    Ref zero;
    if (!signum) {
        zero = Ref::steal(PyLong_FromLong(0));
        if (!zero) return nullptr;
        signum = zero.get();
    }
    return make_method_coro(fn, Ref::steal(PyTuple_Pack(2, self, signum)), [](PyObject* const* a) {
        return stop_signal_handler_body(as_ticker(a[0]), a[1]);
    });
}

}  // namespace vorn
