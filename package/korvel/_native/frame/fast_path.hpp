// The contract between a native fast path and the step-by-step code it
// stands in for, and the guards that decide whether it may run.
#pragma once
#include <initializer_list>
#include <string_view>

#include "runtime.hpp"

namespace korvel {

// What a native fast path reports:
//   kDone      it did the work; the step-by-step code is skipped.
//   kDeclined  it did nothing a caller could observe (whatever it touched is
//              as it was, no exception is set), so the step-by-step code runs
//              from the same point.
//   kError     an exception is set and goes to the caller as it is.
// Only kDeclined falls back.  A fast path never clears an exception it did
// not raise itself in order to decline: whatever NumPy, the interpreter or
// a signal handler raised is the call's error, exactly as step by step.
enum class Fast { kDone, kDeclined, kError };

// Holds an outcome to the contract: with an exception pending, every
// outcome is an error (falling back would swallow it); an error without
// one becomes a SystemError.
inline Fast settled(Fast f) noexcept {
    if (PyErr_Occurred()) return Fast::kError;
    if (f == Fast::kError) {
        PyErr_SetString(PyExc_SystemError, "korvel fast path failed without an exception");
    }
    return f;
}

// A guard's verdict (1 holds, 0 does not, -1 error set) as a fast path's
// early outcome, for `if (g <= 0) return not_taken(g);`.
inline Fast not_taken(int guard) noexcept { return guard < 0 ? Fast::kError : Fast::kDeclined; }

class Routines;

// An interned str of `size` chars at `s`, or nullptr with an error set.
inline PyObject* interned(const char* s, size_t size) noexcept {
    PyObject* str = PyUnicode_FromStringAndSize(s, static_cast<Py_ssize_t>(size));
    if (str) PyUnicode_InternInPlace(&str);
    return str;
}

// What one module object captured at its initialisation: numpy, its
// errstate, the routines of every registered list, and the module's own
// extras (its functions, what it imported).  It is the module object's
// state, so a second module object made from the same extension captures
// its own and leaves the first's alone; functions reach it through Call.
struct ModuleState {
    static constexpr int kLists = 16;   // lists of routines per extension
    static constexpr int kRoutines = 8; // routines per list
    static constexpr int kExtras = 8;
    PyObject* numpy;
    PyObject* errstate;
    PyObject* routines[kLists][kRoutines];
    PyObject* extras[kExtras];

    template <typename F>
    int each(F&& f) {
        if (int r = f(numpy)) return r;
        if (int r = f(errstate)) return r;
        for (auto& list : routines) {
            for (PyObject*& o : list) {
                if (int r = f(o)) return r;
            }
        }
        for (PyObject*& o : extras) {
            if (int r = f(o)) return r;
        }
        return 0;
    }
    void set_extra(int i, PyObject* o) { Py_XSETREF(extras[i], Py_XNewRef(o)); }
};

inline int module_state_traverse(PyObject* m, visitproc visit, void* arg) {
    auto* s = static_cast<ModuleState*>(PyModule_GetState(m));
    return s ? s->each([&](PyObject*& o) { Py_VISIT(o); return 0; }) : 0;
}
inline int module_state_clear(PyObject* m) {
    auto* s = static_cast<ModuleState*>(PyModule_GetState(m));
    if (s) s->each([](PyObject*& o) { Py_CLEAR(o); return 0; });
    return 0;
}
inline ModuleState& state_of(PyObject* m) { return *static_cast<ModuleState*>(PyModule_GetState(m)); }
inline void module_state_free(void* m) { module_state_clear(static_cast<PyObject*>(m)); }

// The lists of routines an extension's fast paths stand in for (each list
// registers itself here, once per process), and the capture of numpy and
// of every list into a module object's state.
class NumpyAtImport {
public:
    // Captures numpy, np.errstate and every registered routine into `state`
    // (releasing what it held); a missing attribute only disables the fast
    // paths that need it.  False with an error set when a list is longer
    // than ModuleState::kRoutines, there are more lists than kLists, or a
    // routine cannot be looked up (MemoryError and the like).
    bool capture(PyObject* numpy, ModuleState& state);

    // 1 when the module global `np` is the captured numpy, 0 when not,
    // -1 with an error set (the same error the step-by-step lookup meets).
    static int np_is_genuine(const Call& c) {
        PyObject* numpy = c.state ? c.state->numpy : nullptr;
        if (!numpy) return 0;
        PyObject* np = PyDict_GetItemWithError(c.globals, K_NAME("np"));
        if (!np) return PyErr_Occurred() ? -1 : 0;
        return np == numpy;
    }
    static PyObject* errstate(const Call& c) { return c.state ? c.state->errstate : nullptr; }

private:
    friend class Routines;
    Routines* lists_ = nullptr;
    int count_ = 0;
};

// The numpy-namespace routines one fast path stands in for: what the
// step-by-step code would call (or whose genuine result the fast path
// relies on), and every numpy-namespace routine those call in turn --
// NumPy's Python-level functions look their helpers up as np.<name> at
// call time, so a replaced helper is seen step by step.  Dotted paths
// ("fft.rfft") name routines of submodules.  A fast path runs only while
// each of them is the very object its module captured at import.
class Routines {
public:
    static constexpr int kMax = ModuleState::kRoutines;

    Routines(NumpyAtImport& numpy, std::initializer_list<const char*> paths) noexcept
        : next_(numpy.lists_), slot_(numpy.count_++), given_(static_cast<int>(paths.size())) {
        for (const char* p : paths) {
            if (count_ < kMax) paths_[count_++] = p;
        }
        numpy.lists_ = this;
    }
    Routines(const Routines&) = delete;
    Routines& operator=(const Routines&) = delete;

    // 1 when `np` is the captured numpy and every routine is the captured
    // object, 0 when not, -1 with an error set.  Looks into the modules'
    // dicts, so nothing a caller could see runs and no error is raised for
    // a missing name (the step-by-step lookup then reports it).
    int genuine(const Call& c) const {
        if (int np = NumpyAtImport::np_is_genuine(c); np <= 0) return np;
        PyObject* const* objects = c.state->routines[slot_];
        for (int i = 0; i < count_; ++i) {
            if (!objects[i]) return 0;
            PyObject* obj = c.state->numpy;
            for (PyObject* name : names_[i]) {
                if (!name) break;
                if (!PyModule_CheckExact(obj)) return 0;
                obj = PyDict_GetItemWithError(PyModule_GetDict(obj), name);
                if (!obj) return PyErr_Occurred() ? -1 : 0;
            }
            if (obj != objects[i]) return 0;
        }
        return 1;
    }

    // The object `path` (one of this list's paths) captured by c's module.
    PyObject* at(const Call& c, const char* path) const {
        for (int i = 0; i < count_; ++i) {
            if (paths_[i] == path || std::string_view(paths_[i]) == path) return c.state->routines[slot_][i];
        }
        return nullptr;
    }

private:
    friend class NumpyAtImport;
    bool capture(PyObject* numpy, PyObject** objects);

    Routines* next_;
    const int slot_;
    const char* paths_[kMax] = {};
    PyObject* names_[kMax][2] = {};   // interned components of each path
    int given_;
    int count_ = 0;
};

// False with the error set when a name cannot be made (MemoryError) or a
// lookup fails for any reason but a missing attribute; a missing routine is
// left empty, which only disables the fast paths that list it.
inline bool Routines::capture(PyObject* numpy, PyObject** objects) {
    for (int i = 0; i < count_; ++i) {
        std::string_view path(paths_[i]);
        const size_t dot = path.find('.');
        const size_t head = dot == std::string_view::npos ? path.size() : dot;
        if (!names_[i][0] && !(names_[i][0] = interned(path.data(), head))) return false;
        if (head < path.size() && !names_[i][1] &&
            !(names_[i][1] = interned(path.data() + head + 1, path.size() - head - 1))) {
            return false;
        }
        Ref obj = Ref::borrow(numpy);
        for (PyObject* name : names_[i]) {
            if (!name) break;
            obj = attr(obj.get(), name);
            if (!obj) break;
        }
        if (!obj) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
            PyErr_Clear();
        }
        Py_XSETREF(objects[i], obj.release());  // kept for the module's lifetime
    }
    return true;
}

inline bool NumpyAtImport::capture(PyObject* numpy, ModuleState& state) {
    if (count_ > ModuleState::kLists) {
        PyErr_Format(PyExc_SystemError, "more than %d lists of numpy routines", ModuleState::kLists);
        return false;
    }
    for (Routines* r = lists_; r; r = r->next_) {
        if (r->given_ > Routines::kMax) {
            PyErr_Format(PyExc_SystemError, "a fast path lists more than %d numpy routines", Routines::kMax);
            return false;
        }
    }
    Py_XSETREF(state.numpy, Py_XNewRef(numpy));
    Py_XSETREF(state.errstate, PyObject_GetAttrString(numpy, "errstate"));
    if (!state.errstate) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
    }
    for (Routines* r = lists_; r; r = r->next_) {
        if (!r->capture(numpy, state.routines[r->slot_])) return false;
    }
    return true;
}

// 1 when the module global `name` is exactly `expected`, 0 when not, -1
// with an error set.
inline int global_is(const Call& c, PyObject* name, PyObject* expected) {
    if (!name || !expected) return 0;
    PyObject* v = PyDict_GetItemWithError(c.globals, name);
    if (!v) return PyErr_Occurred() ? -1 : 0;
    return v == expected;
}

}  // namespace korvel

// Runs a fast path under the contract: leaves the function on error and
// otherwise names the outcome (done or declined) `var`.
#define K_FAST(var, expr)                               \
    const ::korvel::Fast var = ::korvel::settled(expr); \
    if (var != ::korvel::Fast::kError) {                \
    } else                                              \
        return c.fail(__LINE__)
