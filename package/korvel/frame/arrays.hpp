// NumPy-side helpers for the native fast paths: exact-type checks on
// arguments, identity checks against the objects captured at module
// initialisation, and a recorder for NumPy floating-point errors.
// Included by exactly one translation unit per extension module.
#pragma once
#include <cstdint>

#include "runtime.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

namespace korvel {

// Imports NumPy's C API; 0 or -1 with an error set.
inline int init_numpy_api() { return _import_array(); }

// Objects the fast paths rely on, captured once when the module is
// initialised.  A fast path runs only while the names it uses still
// resolve to these very objects.
struct Captured {
    static constexpr int kCapacity = 16;
    PyObject* numpy = nullptr;
    PyObject* objects[kCapacity] = {};
};

// numpy.<path> for a dotted path such as "fft.rfft"; empty with an error set
// when an attribute is missing.
inline Ref resolve(PyObject* root, const char* path) {
    Ref obj = Ref::borrow(root);
    const char* p = path;
    while (obj && *p) {
        const char* dot = p;
        while (*dot && *dot != '.') ++dot;
        Ref name = Ref::steal(PyUnicode_FromStringAndSize(p, dot - p));
        obj = name ? attr(obj.get(), name.get()) : Ref();
        p = *dot ? dot + 1 : dot;
    }
    return obj;
}

// Captures numpy.<path> for each path; missing attributes stay null, which
// simply disables the fast paths that need them.
template <int count>
void capture(Captured& cap, PyObject* numpy, const char* const (&paths)[count]) {
    static_assert(count <= Captured::kCapacity, "too many captured objects");
    Py_XINCREF(numpy);
    Py_XSETREF(cap.numpy, numpy);
    for (int i = 0; i < count; ++i) {
        Ref obj = resolve(numpy, paths[i]);
        if (!obj) PyErr_Clear();
        Py_XSETREF(cap.objects[i], obj.release());
    }
}

// True when the module global `np` is the captured numpy and every
// attribute path resolves to the captured object.  Never leaves an error set.
inline bool numpy_genuine(const Call& c, const Captured& cap, std::initializer_list<int> which,
                          const char* const* paths) {
    if (!cap.numpy) return false;
    PyObject* np = PyDict_GetItemWithError(c.globals, K_NAME("np"));
    if (np != cap.numpy) {
        PyErr_Clear();
        return false;
    }
    for (int i : which) {
        if (!cap.objects[i]) return false;
        Ref obj = resolve(np, paths[i]);
        if (obj.get() != cap.objects[i]) {
            PyErr_Clear();
            return false;
        }
    }
    return true;
}

// The module global `name` is exactly `expected`.
inline bool global_is(const Call& c, PyObject* name, PyObject* expected) {
    if (!name || !expected) return false;
    PyObject* v = PyDict_GetItemWithError(c.globals, name);
    if (!v) PyErr_Clear();
    return v == expected;
}

// An exact ndarray (no subclass) of the given rank, native byte order and aligned.
inline PyArrayObject* plain_array(PyObject* o, int ndim) {
    if (!o || Py_TYPE(o) != &PyArray_Type) return nullptr;
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(o);
    if (PyArray_NDIM(a) != ndim || !PyArray_ISALIGNED(a) || !PyArray_ISNOTSWAPPED(a)) return nullptr;
    return a;
}

inline bool has_type(PyArrayObject* a, int type_num) { return a && PyArray_TYPE(a) == type_num; }

inline bool fresh_contiguous(PyArrayObject* a, int type_num, npy_intp size) {
    return has_type(a, type_num) && PyArray_IS_C_CONTIGUOUS(a) && PyArray_ISWRITEABLE(a) &&
           PyArray_SIZE(a) == size;
}

// An exact Python int that fits in [lo, hi].
inline bool small_int(PyObject* o, long long lo, long long hi, long long* out) {
    if (!o || !PyLong_CheckExact(o)) return false;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow || (v == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return false;
    }
    if (v < lo || v > hi) return false;
    *out = v;
    return true;
}

// Runs NumPy calls under np.errstate(all="call", call=<recorder>), so that
// any floating-point error they meet is noted instead of reported; the
// caller then redoes the work on the step-by-step path, which reports it
// exactly as the caller's own error settings ask.
class FpRecorder {
public:
    bool enter(PyObject* np) {
        Ref errstate = attr(np, K_NAME("errstate"));
        seen_ = Ref::steal(PyDict_New());
        if (!errstate || !seen_) return false;
        Ref hook = attr(seen_.get(), K_NAME("__setitem__"));
        Ref kw = Ref::steal(PyDict_New());
        if (!hook || !kw || PyDict_SetItemString(kw.get(), "all", K_NAME("call")) < 0 ||
            PyDict_SetItemString(kw.get(), "call", hook.get()) < 0) {
            return false;
        }
        Ref empty = Ref::steal(PyTuple_New(0));
        if (!empty) return false;
        ctx_ = Ref::steal(PyObject_Call(errstate.get(), empty.get(), kw.get()));
        if (!ctx_) return false;
        Ref entered = Ref::steal(PyObject_CallMethodNoArgs(ctx_.get(), K_NAME("__enter__")));
        if (!entered) {
            ctx_.reset();
            return false;
        }
        return true;
    }
    // Leaves the context; false with an error set if leaving failed.
    bool exit() {
        if (!ctx_) return true;
        PyObject* exc_type = nullptr;
        PyObject* exc_value = nullptr;
        PyObject* exc_tb = nullptr;
        PyErr_Fetch(&exc_type, &exc_value, &exc_tb);
        Ref done = Ref::steal(PyObject_CallMethodObjArgs(ctx_.get(), K_NAME("__exit__"), Py_None,
                                                         Py_None, Py_None, nullptr));
        ctx_.reset();
        if (exc_type) {
            PyErr_Restore(exc_type, exc_value, exc_tb);
            return false;
        }
        return static_cast<bool>(done);
    }
    bool seen() const { return seen_ && PyDict_GET_SIZE(seen_.get()) > 0; }
    ~FpRecorder() {
        if (ctx_) exit();
    }

private:
    Ref ctx_;
    Ref seen_;
};

// Releases the GIL for the lifetime of the object.
class NoGil {
public:
    NoGil() : state_(PyEval_SaveThread()) {}
    ~NoGil() { PyEval_RestoreThread(state_); }
    NoGil(const NoGil&) = delete;
    NoGil& operator=(const NoGil&) = delete;

private:
    PyThreadState* state_;
};

}  // namespace korvel
