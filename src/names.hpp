// Interned names and constant texts, created once when the module is executed.
//
// Every attribute, method, keyword and module-global name the extension uses
// at run time is listed here, so no code path looks a name up from a C string.
#pragma once

#include "pyref.hpp"

#define VORN_NAME_LIST(X)                                                          \
    /* module globals */                                                           \
    X(ssl) X(time) X(random) X(signal) X(orjson) X(logging) X(asyncio) X(wraps)    \
    X(ws_connect) X(WSMsgType) X(WSCloseCode) X(WSError) X(WSAutoPingStrategy)     \
    X(logger) X(inspect)                                                           \
    /* event loop, asyncio and standard library */                                 \
    X(create_task) X(call_soon) X(call_soon_threadsafe) X(add_signal_handler)      \
    X(remove_signal_handler) X(stop) X(Event) X(wait_for) X(to_thread) X(gather)   \
    X(all_tasks) X(current_task) X(TimeoutError) X(set) X(clear) X(wait)           \
    X(is_set) X(timeout) X(return_exceptions) X(cancel) X(create_default_context)  \
    X(monotonic) X(uniform) X(getsignal) X(SIG_IGN) X(default_int_handler)         \
    X(raise_signal) X(update) X(difference_update) X(get) X(dumps) X(getLogger)    \
    X(debug) X(info) X(warning) X(error) X(exception)                             \
    /* websocket library */                                                        \
    X(send) X(send_close) X(send_ping) X(disconnect) X(wait_disconnected)          \
    X(notify_user_specific_pong_received) X(measure_roundtrip_time)                \
    X(get_close_code) X(get_close_message) X(TEXT) X(OK)   \
    X(PING_WHEN_IDLE) X(ssl_context) X(websocket_handshake_timeout)                \
    X(enable_auto_ping) X(auto_ping_idle_timeout) X(auto_ping_reply_timeout)       \
    X(auto_ping_strategy) X(underlying_transport) X(pause_reading) X(resume_reading) \
    /* the ticker's own overridable or looked-up attributes */                     \
    X(_send_payload) X(start_websocket) X(close_websocket) X(_apply_subscribe)     \
    X(_apply_unsubscribe) X(_on_signal) X(stop_signal_handler) X(start_ticker)     \
    X(_sleep_backoff) X(_schedule_async_shutdown) X(_async_shutdown)               \
    X(_dummy_callback) X(_dummy_error_callback) X(_unpickle_VornListener)                                    \
    X(on_ws_connected) X(on_ws_frame) X(on_ws_disconnected)                        \
    X(send_user_specific_ping)                                                     \
    /* control messages */                                                         \
    X(subscribe) X(unsubscribe)                                                    \
    /* function object attributes */                                               \
    X(__name__) X(__qualname__) X(__module__) X(__doc__) X(__annotations__)        \
    X(__text_signature__) X(markcoroutinefunction) X(cr_await) X(co_flags) X(co_qualname) X(__annotate__) \
    X(__dict__) X(__new__) X(Coroutine) X(close) X(warnings)                    \
    X(signature) X(parameters) X(values) X(replace) X(annotation) X(return_annotation) \
    X(__signature__) X(name) X(write) X(note_subscription) X(note_connection) X(_open_block) X(connected) X(disconnected)                                                     \
    X(_warn_unawaited_coroutine)

// Names that are C++ keywords get a trailing underscore in C++.
#define VORN_KEYWORD_NAME_LIST(Y) Y(register_, "register") Y(throw_, "throw")

// Constant texts: log lines, callback arguments, coroutine names.
#define VORN_TEXT_LIST(T)                                                                   \
    T(unhandled_payload, "unhandled callback payload :: %s")                               \
    T(unhandled_error, "unhandled ticker error (no error_callback set) :: %r")             \
    T(socket_opened, "Socket opened.")                                                     \
    T(socket_closed, "Socket closed.")                                                     \
    T(closed_by_user, "Connection closed by the user.")                                    \
    T(sending_ping, "sending ping")                                                        \
    T(connected, "Connected to Vorn")                                                      \
    T(unexpected_error, "Unexpected error in connection cycle")                            \
    T(connection_lost, "Connection lost, reconnecting..")                                  \
    T(backoff_aborted, "Backoff aborted early -- close requested")                         \
    T(signal_unsupported, "signal handler for %s not supported on this loop/thread")       \
    T(closure_by_interrupt, "WebSocket closure initiated by user interrupt.")              \
    T(ws_disconnected, "Websocket disconnected.")                                          \
    T(SIGINT, "SIGINT")                                                                    \
    T(SIGTERM, "SIGTERM")                                                                  \
    T(wrapper, "wrapper")                                                                  \
    T(wrapper_qualname, "run_in_thread.<locals>.decorator.<locals>.wrapper")               \
    T(decorator, "decorator")                                                              \
    T(decorator_qualname, "run_in_thread.<locals>.decorator")                              \
    T(trigger_signal, "_trigger_signal")                                                   \
    T(trigger_signal_qualname, "_async_shutdown.<locals>._trigger_signal")                 \
    T(check_round_trip_time, "check_round_trip_time")                                      \
    T(listener_fields, "_VornListener__ping_msg, _loop, _parent")                          \
    T(coroutine_raised_stop, "coroutine raised StopIteration")

namespace vorn::texts {
#define VORN_DECLARE_TEXT(n, s) inline PyObject* n = nullptr;
VORN_TEXT_LIST(VORN_DECLARE_TEXT)
#undef VORN_DECLARE_TEXT
}  // namespace vorn::texts

namespace vorn::names {
#define VORN_DECLARE_NAME(n) inline PyObject* n = nullptr;
VORN_NAME_LIST(VORN_DECLARE_NAME)
#undef VORN_DECLARE_NAME
#define VORN_DECLARE_KW_NAME(n, s) inline PyObject* n = nullptr;
VORN_KEYWORD_NAME_LIST(VORN_DECLARE_KW_NAME)
#undef VORN_DECLARE_KW_NAME

// Creates every interned name; returns -1 with an error set on failure.
int init();
// Releases them (after a failed import).
void fini() noexcept;
}  // namespace vorn::names
