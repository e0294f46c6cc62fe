// VornListener: the per-connection listener derived from the websocket
// library's WSListener.
#pragma once

#include "picows_abi.hpp"
#include "pyref.hpp"

namespace vorn {

struct ListenerObject {
    picows_abi::WSListener base;
    PyObject* _parent;
    PyObject* _loop;
    PyObject* ping_msg;  // _VornListener__ping_msg
};

}  // namespace vorn
