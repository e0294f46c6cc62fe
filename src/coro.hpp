// Python coroutines written as C++20 coroutines.
//
// A C++ coroutine body (returning `Body`) is owned by a Python object of the
// type `coroutine` defined in coro.cpp. The body awaits Python awaitables with
// `co_await await(obj)`: the awaitable's iterator is driven by whoever drives
// the Python coroutine (an asyncio Task through am_send/throw, or a Python
// `await`), values it yields go out unchanged, its return value resumes the
// body, and an exception it raises is thrown into the body as `PyError`, so
// `try`/`catch` in C++ reads like `try`/`except` (cancellation included).
//
// `CoroFunction` is the matching function type: callable, binds like a
// function, carries __name__/__qualname__/__annotations__ and the marker that
// makes inspect.iscoroutinefunction() true.
#pragma once

#include <coroutine>
#include <cstdint>
#include <new>
#include <utility>

#include "pyref.hpp"

namespace vorn {

struct Promise;
class Local;
using CoHandle = std::coroutine_handle<Promise>;

// A created, not yet started C++ coroutine frame.
class [[nodiscard]] Body {
public:
    using promise_type = Promise;
    explicit Body(CoHandle h) noexcept : h_(h) {}
    Body(Body&& o) noexcept : h_(std::exchange(o.h_, {})) {}
    Body(const Body&) = delete;
    Body& operator=(const Body&) = delete;
    ~Body();
    CoHandle release() noexcept { return std::exchange(h_, {}); }

private:
    CoHandle h_;
};

struct Promise {
    // Every member is set in the constructor: a promise lives in a heap frame
    // that is not value-initialised.
    Promise() noexcept
        : await_iter(nullptr), sent(nullptr), thrown(nullptr), result(nullptr), error(nullptr), locals(nullptr) {}
    ~Promise() {
        Py_XDECREF(await_iter);
        Py_XDECREF(sent);
        Py_XDECREF(thrown);
        Py_XDECREF(result);
        Py_XDECREF(error);
    }
    Promise(const Promise&) = delete;
    Promise& operator=(const Promise&) = delete;

    Body get_return_object() noexcept { return Body(CoHandle::from_promise(*this)); }
    std::suspend_always initial_suspend() noexcept { return {}; }
    // The driver reads the outcome, then destroys the frame.
    std::suspend_always final_suspend() noexcept { return {}; }
    // An empty Ref returns None.
    void return_value(Ref v) noexcept { result = v.release(); }
    void unhandled_exception() noexcept;

    PyObject* await_iter;  // iterator the body currently delegates to (owned)
    PyObject* sent;        // what that iterator returned, for await_resume (owned)
    PyObject* thrown;      // what that iterator raised, re-thrown in the body (owned)
    PyObject* result;      // the body's return value (owned)
    PyObject* error;       // the exception that ended the body (owned)
    Local* locals;         // the body's references kept across awaits

    // Visits everything the frame holds, for the coroutine's tp_traverse.
    int traverse(visitproc visit, void* arg) const;
};

// A reference that a body keeps across an await. It is owned like a Ref and
// linked into its promise, so the coroutine's tp_traverse visits it as the
// collector visits a native coroutine's locals; clearing the coroutine
// destroys the frame, which releases it. References used only between two
// awaits stay plain Refs.
class Local {
public:
    explicit Local(Promise& p) noexcept : owner_(&p), next_(p.locals) {
        if (next_) next_->prev_ = this;
        p.locals = this;
    }
    Local(Promise& p, Ref v) noexcept : Local(p) { ref_ = std::move(v); }
    ~Local() {
        if (prev_) {
            prev_->next_ = next_;
        } else {
            owner_->locals = next_;
        }
        if (next_) next_->prev_ = prev_;
    }
    Local(const Local&) = delete;
    Local& operator=(const Local&) = delete;

    // The old value is released after the new one is in place (its release
    // can run Python code, the collector among it).
    Local& operator=(Ref v) noexcept {
        ref_ = std::move(v);
        return *this;
    }
    PyObject* get() const noexcept { return ref_.get(); }
    explicit operator bool() const noexcept { return static_cast<bool>(ref_); }
    void reset() noexcept { ref_.reset(); }

private:
    friend struct Promise;
    Promise* owner_;
    Local* prev_ = nullptr;
    Local* next_;
    Ref ref_;
};

inline int Promise::traverse(visitproc visit, void* arg) const {
    Py_VISIT(await_iter);
    Py_VISIT(sent);
    Py_VISIT(thrown);
    for (const Local* l = locals; l; l = l->next_) Py_VISIT(l->ref_.get());
    return 0;
}

// `Promise& frame = co_await this_promise();` gives a body its own promise,
// for its Locals; it does not suspend.
struct ThisPromise {
    Promise* p = nullptr;
    bool await_ready() const noexcept { return false; }
    bool await_suspend(CoHandle h) noexcept {
        p = &h.promise();
        return false;
    }
    Promise& await_resume() const noexcept { return *p; }
};
inline ThisPromise this_promise() noexcept { return {}; }

inline Body::~Body() {
    if (h_) h_.destroy();
}

// Awaiter for one Python awaitable inside a body.
class Await {
public:
    explicit Await(Ref awaitable) noexcept : obj_(std::move(awaitable)) {}
    bool await_ready() const noexcept { return false; }
    // Returns false (resume at once) when the object cannot be awaited; the
    // TypeError is then thrown by await_resume.
    bool await_suspend(CoHandle h) noexcept;
    Ref await_resume();

private:
    Ref obj_;
    Promise* p_ = nullptr;
};

inline Await await(Ref awaitable) noexcept { return Await(std::move(awaitable)); }

// The Python coroutine object.
struct CoroObject {
    PyObject_HEAD
    CoHandle frame;     // empty once the body finished or was closed
    PyObject* args;     // tuple of the references the body borrows (owned)
    PyObject* name;     // __name__ (owned)
    PyObject* qualname; // __qualname__ (owned)
    PyObject* weakreflist;
    // What inspect and asyncio read of a native coroutine, made on first use
    // (never on the per-quote path): a code object named like the coroutine
    // and a frame of it, there until the coroutine is done (owned).
    PyObject* code;
    PyObject* pyframe;
    uint8_t state;
};

namespace coro {

// Creates the coroutine and function types; registers the coroutine type with
// collections.abc.Coroutine. Called once from the module's exec.
int init(PyObject* module);
// Releases what init() made (after a failed import).
void fini() noexcept;

// Allocates a coroutine object that owns `args`; the body is attached with
// attach(). Returns NULL with an error set.
CoroObject* alloc(PyObject* name, PyObject* qualname, Ref args) noexcept;

// Builds the coroutine whose body is made by `factory(argv)`, where argv are
// borrowed pointers into the args tuple (valid for the coroutine's lifetime).
// Returns a new reference, or NULL with an error set.
template <class Factory>
PyObject* make(PyObject* name, PyObject* qualname, Ref args, Factory&& factory) noexcept {
    CoroObject* c = alloc(name, qualname, std::move(args));
    if (!c) return nullptr;
    try {
        c->frame = factory(&PyTuple_GET_ITEM(c->args, 0)).release();
    } catch (const std::bad_alloc&) {
        Py_DECREF(c);
        return PyErr_NoMemory();
    } catch (PyError& e) {
        Py_DECREF(c);
        e.restore();
        return nullptr;
    }
    return reinterpret_cast<PyObject*>(c);
}

// A native function object whose calls go to `impl` (a vectorcall function
// that receives the function itself as `callable`). It binds like a Python
// function and has a __dict__. `closure` is kept on the function and can be
// read with closure_of(). With `is_coroutine`, it is a coroutine function for
// inspect and asyncio (its impl then returns make(...)).
// Returns a new reference, or NULL with an error set.
PyObject* new_function(vectorcallfunc impl, PyObject* name, PyObject* qualname, const char* text_signature,
                       PyObject* annotations, PyObject* closure, bool coroutine) noexcept;
PyObject* closure_of(PyObject* function) noexcept;  // borrowed

// inspect.signature() takes annotations only from Python functions: gives
// `function` a __signature__ with the parameters inspect finds for it now
// (its text signature, or what __wrapped__ leads to), annotated from its
// __annotations__. Returns -1 with an error set on failure.
int annotate_signature(PyObject* function) noexcept;

bool is_coroutine(PyObject* o) noexcept;

}  // namespace coro
}  // namespace vorn
