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
// errstate, the routines of every list its initialisation names, and the
// module's own extras (its functions, what it imported).  It is the module
// object's state, so a second module object made from the same extension
// captures its own and leaves the first's alone; functions reach it through
// Call.  The tables are made at initialisation, as large as what the module
// registers.
struct ModuleState {
    PyObject* numpy;
    PyObject* errstate;
    PyObject** routines;  // every list's routines, list after list
    PyObject** extras;
    int nroutines;
    int nextras;

    template <typename F>
    int each(F&& f) {
        if (int r = f(numpy)) return r;
        if (int r = f(errstate)) return r;
        for (int i = 0; routines && i < nroutines; ++i) {
            if (int r = f(routines[i])) return r;
        }
        for (int i = 0; extras && i < nextras; ++i) {
            if (int r = f(extras[i])) return r;
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
inline void module_state_free(void* m) {
    module_state_clear(static_cast<PyObject*>(m));
    auto* s = static_cast<ModuleState*>(PyModule_GetState(static_cast<PyObject*>(m)));
    if (!s) return;
    PyMem_Free(s->routines);
    PyMem_Free(s->extras);
    s->routines = s->extras = nullptr;
    s->nroutines = s->nextras = 0;
}

// The routine lists of one stage's fast paths (see Routines); a module's
// initialisation names the tables of all its stages, in order.  A stage
// with more lists than kLists does not compile.
struct RoutineTable {
    static constexpr int kLists = 8;
    Routines* lists[kLists];
};
using RoutineLists = std::initializer_list<const RoutineTable*>;

// The capture of numpy and of every routine list into a module object's
// state, and the checks a fast path makes against what was captured.
class NumpyAtImport {
public:
    // Captures numpy, np.errstate and every routine of `lists` into `state`
    // (releasing what it held), and makes room for `extras` extras; a
    // missing attribute only disables the fast paths that need it.  False
    // with an error set when a routine cannot be looked up (MemoryError and
    // the like) or memory runs out.
    static bool capture(PyObject* numpy, ModuleState& state, RoutineLists lists, int extras);

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
};

// The numpy routines a group of steps calls: a building block of Routines,
// for paths that several fast paths stand in for alike.
struct RoutineGroup {
    static constexpr int kMax = 8;
    const char* paths[kMax];
};

// The numpy-namespace routines one fast path stands in for: what the
// step-by-step code would call (or whose genuine result the fast path
// relies on), and every numpy-namespace routine those call in turn --
// NumPy's Python-level functions look their helpers up as np.<name> at
// call time, so a replaced helper is seen step by step.  Dotted paths
// ("fft.rfft") name routines of submodules.  A fast path runs only while
// each of them is the very object its module captured at import.  A list
// is named once in its module's initialisation (NumpyAtImport::capture),
// which gives it its place in every module object's state.
class Routines {
public:
    static constexpr int kMax = RoutineGroup::kMax;

    Routines(std::initializer_list<const char*> paths) noexcept {
        for (const char* p : paths) add(p);
    }
    // The union of groups, each path once.
    Routines(std::initializer_list<RoutineGroup> groups) noexcept {
        for (const RoutineGroup& g : groups) {
            for (const char* p : g.paths) {
                if (p) add(p);
            }
        }
    }
    Routines(const Routines&) = delete;
    Routines& operator=(const Routines&) = delete;

    // 1 when `np` is the captured numpy and every routine is the captured
    // object, 0 when not, -1 with an error set.  Looks into the modules'
    // dicts, so nothing a caller could see runs and no error is raised for
    // a missing name (the step-by-step lookup then reports it).
    int genuine(const Call& c) const {
        if (int np = NumpyAtImport::np_is_genuine(c); np <= 0) return np;
        if (offset_ < 0) return 0;
        PyObject* const* objects = c.state->routines + offset_;
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
        for (int i = 0; offset_ >= 0 && i < count_; ++i) {
            if (paths_[i] == path || std::string_view(paths_[i]) == path) return c.state->routines[offset_ + i];
        }
        return nullptr;
    }

private:
    friend class NumpyAtImport;
    void add(const char* p) noexcept {
        for (int i = 0; i < count_; ++i) {
            if (std::string_view(paths_[i]) == p) return;
        }
        ++given_;
        if (count_ < kMax) paths_[count_++] = p;
    }
    bool capture(PyObject* numpy, PyObject** objects);

    const char* paths_[kMax] = {};
    PyObject* names_[kMax][2] = {};   // interned components of each path
    int given_ = 0;
    int count_ = 0;
    int offset_ = -1;                 // of its routines in ModuleState::routines
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

inline bool NumpyAtImport::capture(PyObject* numpy, ModuleState& state, RoutineLists lists, int extras) {
    int total = 0;
    for (const RoutineTable* table : lists) {
        for (Routines* r : table->lists) {
            if (!r) continue;
            if (r->given_ > Routines::kMax) {
                PyErr_Format(PyExc_SystemError, "a fast path lists more than %d numpy routines", Routines::kMax);
                return false;
            }
            r->offset_ = total;
            total += r->count_;
        }
    }
    if (!state.routines) {
        state.routines = static_cast<PyObject**>(PyMem_Calloc(static_cast<size_t>(total) + 1, sizeof(PyObject*)));
        state.extras = static_cast<PyObject**>(PyMem_Calloc(static_cast<size_t>(extras) + 1, sizeof(PyObject*)));
        if (!state.routines || !state.extras) {
            PyErr_NoMemory();
            return false;
        }
        state.nroutines = total;
        state.nextras = extras;
    }
    Py_XSETREF(state.numpy, Py_XNewRef(numpy));
    Py_XSETREF(state.errstate, PyObject_GetAttrString(numpy, "errstate"));
    if (!state.errstate) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
    }
    for (const RoutineTable* table : lists) {
        for (Routines* r : table->lists) {
            if (r && !r->capture(numpy, state.routines + r->offset_)) return false;
        }
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

// global_is, then (when it is 1) routines.genuine: for a fast path that
// stands in for a global function of the module as well as for NumPy.
inline int genuine_with(const Call& c, PyObject* name, PyObject* expected, const Routines& routines) {
    const int g = global_is(c, name, expected);
    return g == 1 ? routines.genuine(c) : g;
}

}  // namespace korvel

// Runs a fast path under the contract: leaves the function on error and
// otherwise names the outcome (done or declined) `var`.
#define K_FAST(var, expr)                               \
    const ::korvel::Fast var = ::korvel::settled(expr); \
    if (var != ::korvel::Fast::kError) {                \
    } else                                              \
        return c.fail(__LINE__)

// Defines PyInit_<short_name>: multi-phase initialisation running `init_fn`
// (see run_init), with a ModuleState per module object.
#define KORVEL_MODULE(short_name, info, init_fn)                                                \
    namespace korvel {                                                                          \
    namespace {                                                                                 \
    int exec_module(PyObject* m) { return run_init(m, info, init_fn); }                          \
    PyModuleDef_Slot module_slots[] = {{Py_mod_exec, reinterpret_cast<void*>(exec_module)},      \
                                       {0, nullptr}};                                           \
    PyModuleDef module_def = {PyModuleDef_HEAD_INIT, (info).name, nullptr, sizeof(ModuleState),   \
                              nullptr, module_slots, module_state_traverse, module_state_clear,  \
                              module_state_free};                                               \
    }                                                                                           \
    }                                                                                           \
    PyMODINIT_FUNC PyInit_##short_name() { return PyModuleDef_Init(&korvel::module_def); }
