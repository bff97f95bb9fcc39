// NumPy-side helpers for the native fast paths: exact-type checks on
// arguments, new arrays, and a recorder for NumPy floating-point errors.
// Included by every unit of an extension that touches arrays; one of them
// (KORVEL_IMPORTS_NUMPY) fills the shared table of NumPy's C API.
#pragma once
#include <cstdint>
#include <cstdlib>

#include "fast_path.hpp"
#include "runtime.hpp"
#include "signals.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
// One table of NumPy's C API per extension, filled by the unit that
// initialises the module (it defines KORVEL_IMPORTS_NUMPY); the other units
// of the same extension use it.
#define PY_ARRAY_UNIQUE_SYMBOL korvel_numpy_api
#ifndef KORVEL_IMPORTS_NUMPY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace korvel {

// Imports NumPy's C API; 0 or -1 with an error set.
#ifdef KORVEL_IMPORTS_NUMPY
inline int init_numpy_api() { return _import_array(); }

// How every module's initialisation starts: numpy imported and bound as the
// global `np`, NumPy's C API imported, and numpy and the routines of every
// list of the module's fast paths captured into the module's state (with
// room for `extras` extras) -- in that order.  Empty with an error set when
// a step fails.
inline Ref import_numpy(PyObject* m, RoutineLists lists, int extras) {
    Ref np = import_absolute(m, "numpy");
    if (!np || !bind_global(m, "np", np.get()) || init_numpy_api() != 0 ||
        !NumpyAtImport::capture(np.get(), state_of(m), lists, extras)) {
        return Ref();
    }
    return np;
}
#endif

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
    if (overflow) return false;  // an exact int raises nothing else
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
    // `errstate` is numpy's, as captured at import.
    bool enter(PyObject* errstate) {
        if (!errstate) {
            PyErr_SetString(PyExc_SystemError, "numpy.errstate was not captured");
            return false;
        }
        seen_ = Ref::steal(PyDict_New());
        if (!seen_) return false;
        Ref hook = attr(seen_.get(), K_NAME("__setitem__"));
        Ref kw = Ref::steal(PyDict_New());
        if (!hook || !kw || PyDict_SetItemString(kw.get(), "all", K_NAME("call")) < 0 ||
            PyDict_SetItemString(kw.get(), "call", hook.get()) < 0) {
            return false;
        }
        Ref empty = Ref::steal(PyTuple_New(0));
        if (!empty) return false;
        ctx_ = Ref::steal(PyObject_Call(errstate, empty.get(), kw.get()));
        if (!ctx_) return false;
        Ref entered = Ref::steal(PyObject_CallMethodNoArgs(ctx_.get(), K_NAME("__enter__")));
        if (!entered) {
            // Where __enter__ is Python code, a signal's handler may raise
            // between its bytecodes after it changed NumPy's error state:
            // leaving puts back whatever it had saved (and fails harmlessly
            // where it had saved nothing).  The handler's exception goes on.
            PyObject *type, *value, *tb;
            PyErr_Fetch(&type, &value, &tb);
            if (!leave()) PyErr_Clear();
            ctx_.reset();
            PyErr_Restore(type, value, tb);
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
        // A signal that came while native code ran is handled at the next
        // bytecode: the first of __exit__, before NumPy's error state is put
        // back, which it would then never be.  Its handler runs here instead;
        // its exception goes on, with the one being left as its context.
        if (PyErr_CheckSignals() < 0) take_newer(exc_type, exc_value, exc_tb);
        // One arriving while __exit__ runs (it is Python code) may stop it
        // before the state is back.  Its exception goes on, and __exit__ is
        // called again; where it had in fact finished, a second call may
        // refuse (a context variable's token is used once), which is no news.
        if (!leave()) {
            take_newer(exc_type, exc_value, exc_tb);
            for (int again = 1; again < kLeaveAttempts && ctx_; ++again) {
                if (!leave()) PyErr_Clear();
            }
        }
        ctx_.reset();
        if (exc_type) {
            PyErr_Restore(exc_type, exc_value, exc_tb);
            return false;
        }
        return true;
    }
    bool seen() const { return seen_ && PyDict_GET_SIZE(seen_.get()) > 0; }
    ~FpRecorder() {
        if (ctx_) exit();
    }

private:
    static constexpr int kLeaveAttempts = 3;

    // __exit__ of the context; false with its error set.  The context is
    // gone once it succeeds.
    bool leave() {
        Ref done = Ref::steal(PyObject_CallMethodObjArgs(ctx_.get(), K_NAME("__exit__"), Py_None, Py_None,
                                                         Py_None, nullptr));
        if (done) ctx_.reset();
        return static_cast<bool>(done);
    }

    // The error now set becomes the one pending (type, value, tb), with the
    // one pending before as its context.
    static void take_newer(PyObject*& exc_type, PyObject*& exc_value, PyObject*& exc_tb) {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        if (!type) return;
        PyErr_NormalizeException(&type, &value, &tb);
        if (exc_type) {
            PyErr_NormalizeException(&exc_type, &exc_value, &exc_tb);
            if (exc_tb) PyException_SetTraceback(exc_value, exc_tb);
            if (value != exc_value) {
                PyException_SetContext(value, exc_value);  // steals exc_value
            } else {
                Py_DECREF(exc_value);
            }
            Py_DECREF(exc_type);
            Py_XDECREF(exc_tb);
        }
        exc_type = type;
        exc_value = value;
        exc_tb = tb;
    }

    Ref ctx_;
    Ref seen_;
};

// A new C-contiguous array of `type`, or, when its memory is not to be had,
// an empty handle with no error set: the fast path then declines, and the
// step-by-step path meets -- and reports -- the shortage in its own words.
inline Ref new_array_or_decline(int nd, npy_intp* dims, int type, npy_intp itemsize) {
    npy_intp bytes = itemsize;
    for (int i = 0; i < nd; ++i) {
        if (dims[i] < 0) return Ref();
        if (dims[i] != 0 && bytes > NPY_MAX_INTP / dims[i]) return Ref();
        bytes *= dims[i];
    }
    void* probe = std::malloc(static_cast<size_t>(bytes > 0 ? bytes : 1));
    if (!probe) return Ref();
    std::free(probe);
    return Ref::steal(PyArray_SimpleNew(nd, dims, type));
}

// An (rows, cols) block array of `type`, reused while the size fits.
inline bool block_array(Ref& block, npy_intp rows, npy_intp cols, int type) {
    if (block && PyArray_DIM(reinterpret_cast<PyArrayObject*>(block.get()), 0) == rows) return true;
    npy_intp dims[2] = {rows, cols};
    block = Ref::steal(PyArray_SimpleNew(2, dims, type));
    return static_cast<bool>(block);
}

template <typename T>
inline T* data_of(const Ref& a) {
    return static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(a.get())));
}

// reduce(block, axis=one) over a block of `rows` rows, into `out`: kDone
// when NumPy gave a plain contiguous vector of `rows` values of `type`,
// kDeclined when it gave anything else, kError with the error set.
inline Fast reduce_rows(PyObject* reduce, PyObject* block, PyObject* one, int type, npy_intp rows, Ref& out) {
    out = call_kw(reduce, {block}, K_NAME("axis"), one);
    if (!out) return Fast::kError;
    PyArrayObject* a = plain_array(out.get(), 1);
    return has_type(a, type) && PyArray_IS_C_CONTIGUOUS(a) && PyArray_DIM(a, 0) == rows ? Fast::kDone
                                                                                         : Fast::kDeclined;
}

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
