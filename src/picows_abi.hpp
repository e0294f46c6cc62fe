// C layouts of the websocket library's classes that the extension reads
// directly. The import checks each against the installed library (sizes, and
// a frame made by the library itself) and refuses to load on a mismatch.
#pragma once

#include <cstdint>

#include "pyref.hpp"

namespace vorn::picows_abi {

struct WSListener {
    PyObject_HEAD
    void* vtab;
    PyObject* weakreflist;
};

struct WSFrame {
    PyObject_HEAD
    void* vtab;
    PyObject* payload_obj;
    char* payload_ptr;
    Py_ssize_t payload_size;
    Py_ssize_t tail_size;
    int msg_type;
    uint8_t fin;
    uint8_t rsv1;
    uint8_t rsv2;
    uint8_t rsv3;
    uint8_t last_in_buffer;
};

struct WSCloseInfo {
    PyObject_HEAD
    int code;
    PyObject* reason;
};

struct WSCloseHandshake {
    PyObject_HEAD
    PyObject* recv;
    PyObject* sent;
    int recv_then_sent;
};

struct MemoryBuffer {
    PyObject_HEAD
    void* vtab;
    Py_ssize_t size;
    Py_ssize_t capacity;
    char* data;
};

struct WSTransport {
    PyObject_HEAD
    void* vtab;
    PyObject* weakreflist;
    unsigned long thread_id;
    PyObject* loop;
    PyObject* logger;
    int log_debug_enabled;
    int is_aiofn_transport;
    PyObject* tr_get_write_buffer_size;
    PyObject* tr_write;
    int socket;
    PyObject* underlying_transport;
    PyObject* request;
    PyObject* response;
    PyObject* close_handshake;
    int is_client_side;
    int is_secure;
    int is_close_frame_sent;
    int is_disconnected;
    int auto_ping_expect_pong;
    PyObject* pong_received_at_future;
    PyObject* listener_proxy;
    PyObject* disconnected_future;
    PyObject* write_buffer;
};

// WebSocket opcodes as the library's WSMsgType values.
inline constexpr int kText = 1;
inline constexpr int kClose = 8;
inline constexpr int kPong = 10;

}  // namespace vorn::picows_abi
