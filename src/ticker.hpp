// The VornTicker object: layout and internal method table.
//
// The internal methods are reached through `vtab` (not visible from Python).
// Each returns 0, or -1 with a Python error set (pointer-returning ones NULL).
// `_send_payload`, `start_websocket` and `close_websocket` are also Python
// methods; their internal entries call a Python subclass's override.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pyref.hpp"

namespace vorn {

struct TickerObject;

struct TickerVTable {
    PyObject* (*_encode)(PyObject* msg);
    int (*add_signal_handler)(TickerObject* self);
    int (*_send_payload)(TickerObject* self, PyObject* payload);
    int (*on_data_callback)(TickerObject* self, PyObject* message);
    int (*_subscribe_blocking)(TickerObject* self, PyObject* instruments);
    int (*_unsubscribe_blocking)(TickerObject* self, PyObject* instruments);
    int (*_resubscribe)(TickerObject* self);
    // callbacks: message_update, error, open, close (each may be NULL or None)
    int (*start_websocket)(TickerObject* self, PyObject* const callbacks[4]);
    int (*close_websocket)(TickerObject* self);
    int (*_initiate_shutdown)(TickerObject* self);
    // on_data_callback on the frame's bytes in place, for the listener's
    // text frames: the same path without a bytes object per quote.
    int (*on_data_payload)(TickerObject* self, const uint8_t* payload, size_t size);
};

// The recording tap (tap.cpp), each a no-op without one: 0, or -1 with the
// error set when what the tap raised must propagate.
// A copy of a frame as received and its receive time, for tap_frame.
int tap_frame_copy(TickerObject* self, const uint8_t* payload, size_t size, int64_t now, Ref& copy,
                   Ref& recv_ns);
int tap_frame(TickerObject* self, PyObject* payload, PyObject* recv_ns);
int tap_subscription(TickerObject* self, PyObject* kind, PyObject* symbols);
// tap.note_connection(kind, detail), when the tap has that method.
int tap_connection(TickerObject* self, PyObject* kind, PyObject* detail);

struct TickerObject {
    PyObject_HEAD
    const TickerVTable* vtab;
    PyObject* _loop;
    PyObject* _transport;
    uint8_t* _scratch;
    size_t _scratch_cap;
    PyObject* _tokens;
    PyObject* _ws_url;
    int _disconnect_socket;
    int _shutdown_initiated;
    int _shutdown_scheduled;
    int _pending_signal;
    int _fail_count;
    PyObject* _disconnect_msg;
    PyObject* IS_CONNECTED;
    PyObject* _stop_event;
    PyObject* _abort_event;
    PyObject* _ssl_context;
    PyObject* _ticker_task;
    PyObject* _signal_task;
    PyObject* _prev_handlers;
    PyObject* _message_callback;
    PyObject* _open_callback;
    PyObject* _close_callback;
    PyObject* _error_callback;
    // None, or the recording tap: an object with write(payload, recv_ns) and
    // note_subscription(kind, symbols, recv_ns) (a recording.Recorder), and
    // optionally note_connection(kind, detail): _tap_connections says so.
    PyObject* _frame_tap;
    int _tap_connections;
    // None, or the tap's open block (open_block.hpp), which frames are
    // appended to directly while it has room.
    PyObject* _tap_block;
    // None, or a stream's QuoteBuffer (stream_buffer.hpp): text frames wait
    // there undecoded instead of going to the message callback.
    PyObject* _frame_sink;
    double connect_timeout;
    double handshake_timeout;
    double min_backoff;
    double max_backoff;
    double backoff_multiplier;
    double backoff_jitter;
    double min_stable_secs;
};

#ifndef VORN_ENDPOINT_HOST
#define VORN_ENDPOINT_HOST "streamer.vorn.example"
#endif

// Where every ticker connects, fixed when the extension is built.
inline constexpr char kEndpointUrl[] = "wss://" VORN_ENDPOINT_HOST "/?version=2";

// Size of the decode buffer every ticker starts with.
inline constexpr size_t kInitialScratch = 4096;

}  // namespace vorn
