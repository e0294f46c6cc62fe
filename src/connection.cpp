// Opening and closing the ticker, the reconnect loop with its jittered
// exponential backoff, and the round-trip time probe.
#include <algorithm>
#include <cmath>
#include <optional>

#include "args.hpp"
#include "listener.hpp"
#include "ticker_impl.hpp"

namespace vorn {

// --- opening and closing ------------------------------------------------------------

PyObject* py_start_websocket(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* py_close_websocket(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

int start_websocket(TickerObject* self, PyObject* const callbacks[4], bool dispatch) {
    return guarded([&] {
        if (dispatch) {
            if (Ref m = find_override(self, names::start_websocket,
                                      reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_start_websocket)))) {
                PyObject* args[4];
                for (int i = 0; i < 4; ++i) args[i] = callbacks[i] ? callbacks[i] : Py_None;
                check(PyObject_Vectorcall(m.get(), args, 4, nullptr));
                return;
            }
        }
        PyObject** fields[] = {&self->_message_callback, &self->_error_callback, &self->_open_callback,
                               &self->_close_callback};
        for (int i = 0; i < 4; ++i) {
            if (callbacks[i] && callbacks[i] != Py_None) set_field(*fields[i], callbacks[i]);
        }
        Ref coro = call_method0(as_obj(self), names::start_ticker);
        Ref loop = Ref::borrow(self->_loop);
        Ref task = call_method1(loop.get(), names::create_task, coro.get());
        set_field(self->_ticker_task, task.get());
    });
}

int start_websocket_internal(TickerObject* self, PyObject* const callbacks[4]) {
    return start_websocket(self, callbacks, true);
}

int close_websocket(TickerObject* self, bool dispatch) {
    return guarded([&] {
        if (dispatch) {
            if (Ref m = find_override(self, names::close_websocket,
                                      reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_close_websocket)))) {
                check(PyObject_CallNoArgs(m.get()));
                return;
            }
        }
        self->_disconnect_socket = 1;
        {
            Ref ev = Ref::borrow(self->_abort_event);
            call_method0(ev.get(), names::set);
        }
        if (self->_transport == Py_None) return;
        Ref transport = Ref::borrow(self->_transport);
        Ref ok = global_attr(names::WSCloseCode, names::OK);
        Ref msg = Ref::borrow(self->_disconnect_msg);
        call_method2(transport.get(), names::send_close, ok.get(), msg.get());
    });
}

int close_websocket_internal(TickerObject* self) { return close_websocket(self, true); }

PyObject* py_start_websocket(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const char* params[] = {"message_update_callback", "error_callback", "open_callback", "close_callback"};
    PyObject* cbs[4] = {};
    if (parse_args("start_websocket", args, static_cast<size_t>(nargs), kwnames, params, 4, 0, cbs) < 0)
        return nullptr;
    if (start_websocket(as_ticker(o), cbs, false) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* py_close_websocket(PyObject* o, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (no_args("close_websocket", static_cast<size_t>(nargs), kwnames) < 0) return nullptr;
    if (close_websocket(as_ticker(o), false) < 0) return nullptr;
    Py_RETURN_NONE;
}

// --- reconnect loop ---------------------------------------------------------------------

// The listener factory of one attempt: returns its listener.
PyObject* listener_factory_call(PyObject* fn, PyObject* const*, size_t nargsf, PyObject* kwnames) {
    if (no_args("<lambda>", nargsf, kwnames) < 0) return nullptr;
    return Py_NewRef(coro::closure_of(fn));
}

// Log text for a failed attempt: "Error occured on connect :: " + str(e).
void log_connect_error(PyObject* exc) {
    Ref text = check(PyUnicode_FromFormat("Error occured on connect :: %S", exc));
    log(names::error, text.get());
}

void log_unexpected(PyObject* exc) {
    // logger.exception() reads the exception being handled.
    PyObject* previous = PyErr_GetHandledException();
    PyErr_SetHandledException(exc);
    try {
        log(names::exception, texts::unexpected_error);
    } catch (...) {
        PyErr_SetHandledException(previous);
        Py_XDECREF(previous);
        throw;
    }
    PyErr_SetHandledException(previous);
    Py_XDECREF(previous);
}

// Best effort on the way out of the loop: an ordinary failure here must not
// replace the exception that is ending the loop, so it is reported as
// unraisable.
void drop_connection(PyObject* transport) {
    fail_soft(
        transport, [&] { call_method0(transport, names::disconnect); },
        [&](PyObject* exc) {
            PyErr_SetRaisedException(Py_NewRef(exc));
            PyErr_WriteUnraisable(transport);
        });
}

// Leaving the loop (a cancellation, say) must not leave a connection running
// unowned: quotes would keep arriving and close_websocket could no longer
// reach it. The listener records the connection before ws_connect hands it to
// the loop, so whichever of the two holds one, it is dropped.
void drop_connections(TickerObject* self, PyObject* transport) {
    Ref held = Ref::borrow(self->_transport);
    if (transport) drop_connection(transport);
    if (held.get() != Py_None && held.get() != transport) drop_connection(held.get());
}

void attempt_cleanup(TickerObject* self) {
    set_field(self->_transport, Py_None);
    Ref ev = Ref::borrow(self->IS_CONNECTED);
    call_method0(ev.get(), names::clear);
}

// Unpacks exactly two items, as `a, b = value` does; returns the first.
Ref unpack_first_of_two(PyObject* value) {
    Ref it = Ref::steal(PyObject_GetIter(value));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(value)->tp_name);
        }
        throw_current();
    }
    Ref items[2];
    for (int i = 0; i < 2; ++i) {
        items[i] = Ref::steal(PyIter_Next(it.get()));
        if (!items[i]) {
            if (PyErr_Occurred()) throw_current();
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            throw_current();
        }
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        throw_current();
    }
    if (PyErr_Occurred()) throw_current();
    return items[0];
}

Ref connect_awaitable(TickerObject* self, PyObject* listener) {
    Ref name = check(PyUnicode_FromString("<lambda>"));
    Ref factory = check(coro::new_function(listener_factory_call, name.get(), name.get(), "()", nullptr, listener,
                                           false));
    Ref ws_connect = global(names::ws_connect);
    Ref handshake = new_float(self->handshake_timeout);
    Ref idle = check(PyLong_FromLong(3));
    Ref reply = check(PyLong_FromLong(2));
    Ref strategy = global_attr(names::WSAutoPingStrategy, names::PING_WHEN_IDLE);
    Ref kwnames = check(PyTuple_Pack(6, names::ssl_context, names::websocket_handshake_timeout,
                                     names::enable_auto_ping, names::auto_ping_idle_timeout,
                                     names::auto_ping_reply_timeout, names::auto_ping_strategy));
    Ref url = Ref::borrow(self->_ws_url);
    Ref ssl_context = Ref::borrow(self->_ssl_context);
    PyObject* args[] = {factory.get(), url.get(),  ssl_context.get(), handshake.get(),
                        Py_True,       idle.get(), reply.get(),       strategy.get()};
    return check(PyObject_Vectorcall(ws_connect.get(), args, 2, kwnames.get()));
}

Body start_ticker_body(TickerObject* self) {
    Promise& frame = co_await this_promise();
    for (;;) {
        if (self->_disconnect_socket) break;
        Local listener(frame);
        {
            PyObject* args[] = {as_obj(self), self->_loop};
            listener = check(PyObject_Vectorcall(reinterpret_cast<PyObject*>(listener_type), args, 2, nullptr));
        }
        double t_conn = 0.0;
        bool was_connected = false;
        Local transport(frame);
        std::optional<PyError> failure;
        try {
            Ref connecting = connect_awaitable(self, listener.get());
            Ref limited = wait_for(connecting.get(), self->connect_timeout);
            connecting.reset();
            Ref pair = co_await await(std::move(limited));
            transport = unpack_first_of_two(pair.get());
            pair.reset();
            was_connected = true;
            {
                Ref now = call_method0(global(names::time).get(), names::monotonic);
                t_conn = PyFloat_AsDouble(now.get());
                if (t_conn == -1.0 && PyErr_Occurred()) throw_current();
            }
            log(names::info, texts::connected);
            Ref closed = call_method0(transport.get(), names::wait_disconnected);
            co_await await(std::move(closed));
        } catch (PyError& e) {
            failure.emplace(std::move(e));
        }
        if (failure) {
            // A failed attempt is logged and retried (a connection failure
            // in one line, anything else ordinary with its traceback); what
            // is not ordinary ends the loop, the connection dropped first.
            try {
                contain_ordinary(as_obj(self), std::move(*failure), [&](PyObject* exc) {
                    Ref ws_error = global(names::WSError);
                    Ref timeout_error = global_attr(names::asyncio, names::TimeoutError);
                    if (PyErr_GivenExceptionMatches(exc, PyExc_OSError) ||
                        PyErr_GivenExceptionMatches(exc, ws_error.get()) ||
                        PyErr_GivenExceptionMatches(exc, timeout_error.get())) {
                        log_connect_error(exc);
                    } else {
                        log_unexpected(exc);
                    }
                });
            } catch (PyError&) {
                drop_connections(self, transport.get());
                attempt_cleanup(self);
                throw;
            }
            // Its traceback can lead back to this ticker: it must not stay
            // in the frame, unseen by the collector, across the backoff.
            failure.reset();
        }
        attempt_cleanup(self);
        if (self->_disconnect_socket) break;
        if (was_connected) {
            Ref now = call_method0(global(names::time).get(), names::monotonic);
            const double t = PyFloat_AsDouble(now.get());
            if (t == -1.0 && PyErr_Occurred()) throw_current();
            if (t - t_conn >= self->min_stable_secs) {
                self->_fail_count = 0;
                log(names::info, texts::connection_lost);
                continue;
            }
        }
        Ref backoff = call_method0(as_obj(self), names::_sleep_backoff);
        co_await await(std::move(backoff));
    }
    {
        Ref ev = Ref::borrow(self->_stop_event);
        call_method0(ev.get(), names::set);
    }
    check_rc(self->vtab->_initiate_shutdown(self));
    co_return Ref{};
}

Body sleep_backoff_body(TickerObject* self) {
    const int k = self->_fail_count;
    self->_fail_count += 1;
    double delay = self->min_backoff * std::pow(self->backoff_multiplier, static_cast<double>(std::min(k, 30)));
    if (!(delay < self->max_backoff)) delay = self->max_backoff;
    const double jitter = self->backoff_jitter * delay;
    {
        Ref lo = new_float(-jitter);
        Ref hi = new_float(jitter);
        Ref r = call_method2(global(names::random).get(), names::uniform, lo.get(), hi.get());
        const double j = PyFloat_AsDouble(r.get());
        if (j == -1.0 && PyErr_Occurred()) throw_current();
        delay = delay + j;
    }
    if (!(delay > 0.0)) delay = 0.0;
    {
        char* shown = PyOS_double_to_string(delay, 'f', 2, 0, nullptr);
        if (!shown) throw_current();
        PyObject* text = PyUnicode_FromFormat("Reconnect failed/unstable (%d in a row) :: backing off %ss",
                                              self->_fail_count, shown);
        PyMem_Free(shown);
        Ref owned = check(text);
        log(names::warning, owned.get());
    }
    try {
        Ref fut;
        {
            Ref ev = Ref::borrow(self->_abort_event);
            Ref wait = call_method0(ev.get(), names::wait);
            fut = wait_for(wait.get(), delay);
        }
        co_await await(std::move(fut));
    } catch (PyError& e) {
        if (!matches_asyncio_timeout(e)) throw;
        co_return Ref{};
    }
    log(names::info, texts::backoff_aborted);
    co_return Ref{};
}

// --- round-trip time --------------------------------------------------------------------

Body round_trip_body(TickerObject* self, PyObject* count) {
    Ref measuring;
    {
        Ref transport = Ref::borrow(self->_transport);
        measuring = call_method1(transport.get(), names::measure_roundtrip_time, count);
    }
    Ref result = co_await await(std::move(measuring));
    if (result.get() != Py_None && !PyList_CheckExact(result.get())) {
        PyErr_Format(PyExc_TypeError, "Expected %.42s, got %.200s", "list", Py_TYPE(result.get())->tp_name);
        throw_current();
    }
    co_return result;
}

// --- coroutine entry points -----------------------------------------------------------

PyObject* start_ticker_call(PyObject* fn, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyObject* self = method_self(fn, args, nargsf);
    if (!self) return nullptr;
    const char* params[] = {"reconnect"};
    PyObject* reconnect = nullptr;
    if (parse_args("start_ticker", args + 1, PyVectorcall_NARGS(nargsf) - 1, kwnames, params, 1, 0, &reconnect) < 0)
        return nullptr;
    // Converted at the call, as a typed parameter would be; it has no other effect.
    if (reconnect && PyObject_IsTrue(reconnect) < 0) return nullptr;
    return make_method_coro(fn, Ref::steal(PyTuple_Pack(1, self)),
                            [](PyObject* const* a) { return start_ticker_body(as_ticker(a[0])); });
}

PyObject* sleep_backoff_call(PyObject* fn, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyObject* self = method_self(fn, args, nargsf);
    if (!self) return nullptr;
    if (no_args("_sleep_backoff", PyVectorcall_NARGS(nargsf) - 1, kwnames) < 0) return nullptr;
    return make_method_coro(fn, Ref::steal(PyTuple_Pack(1, self)),
                            [](PyObject* const* a) { return sleep_backoff_body(as_ticker(a[0])); });
}

PyObject* check_round_trip_time_call(PyObject* fn, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyObject* self = method_self(fn, args, nargsf);
    if (!self) return nullptr;
    const char* params[] = {"count"};
    PyObject* count = nullptr;
    if (parse_args("check_round_trip_time", args + 1, PyVectorcall_NARGS(nargsf) - 1, kwnames, params, 1, 0, &count) <
        0)
        return nullptr;
    Ref converted;
    if (!count) {
        converted = Ref::steal(PyLong_FromLong(5));
    } else if (PyLong_CheckExact(count)) {
        converted = Ref::borrow(count);
    } else if (PyNumber_Check(count)) {
        converted = Ref::steal(PyNumber_Long(count));
    } else {
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.5s, got %.200s)", "count", "int",
                     Py_TYPE(count)->tp_name);
        return nullptr;
    }
    if (!converted) return nullptr;
    return make_method_coro(fn, Ref::steal(PyTuple_Pack(2, self, converted.get())),
                            [](PyObject* const* a) { return round_trip_body(as_ticker(a[0]), a[1]); });
}

}  // namespace vorn
