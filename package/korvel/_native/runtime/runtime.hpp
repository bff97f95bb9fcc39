// Python-level operations for function bodies: name lookup, attribute
// access, calls, arithmetic, slicing and module initialisation helpers.
// Each returns an empty Ref (or false / -1) with the Python error set.
#pragma once
#include <initializer_list>

#include "function.hpp"

namespace korvel {

// An interned string created on first use, e.g. K_NAME("rfft").
#define K_NAME(s)                                                   \
    ([]() noexcept -> PyObject* {                                   \
        static PyObject* interned = nullptr;                        \
        if (!interned) interned = PyUnicode_InternFromString(s);    \
        return interned;                                            \
    }())

// Module global, then built-in; NameError "name '%U' is not defined".
Ref global(const Call& c, PyObject* name);

// np.<name> as the interpreter evaluates it: the module global `np`, then
// its attribute `name`, each lookup failing as the interpreter's would.
Ref np_attr(const Call& c, PyObject* name);

// np.<name>(args...), for arguments already at hand: the lookup as
// np_attr, then the call.
Ref np_call(const Call& c, PyObject* name, std::initializer_list<PyObject*> args);

inline Ref attr(PyObject* o, PyObject* name) {
    if (!name) return Ref();
    return Ref::steal(PyObject_GetAttr(o, name));
}

inline Ref call(PyObject* f, std::initializer_list<PyObject*> args) {
    return Ref::steal(PyObject_Vectorcall(f, const_cast<PyObject**>(args.begin()), args.size(),
                                          nullptr));
}

// Positional arguments followed by one keyword argument.
Ref call_kw(PyObject* f, std::initializer_list<PyObject*> args, PyObject* kwname, PyObject* kwvalue);

inline Ref add(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_Add(a, b)); }
inline Ref sub(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_Subtract(a, b)); }
inline Ref mul(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_Multiply(a, b)); }
inline Ref truediv(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_TrueDivide(a, b)); }
inline Ref floordiv(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_FloorDivide(a, b)); }
inline Ref power(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_Power(a, b, Py_None)); }
inline Ref neg(PyObject* a) { return Ref::steal(PyNumber_Negative(a)); }
inline Ref iadd(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_InPlaceAdd(a, b)); }
inline Ref isub(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_InPlaceSubtract(a, b)); }
inline Ref itruediv(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_InPlaceTrueDivide(a, b)); }
inline Ref compare(PyObject* a, PyObject* b, int op) { return Ref::steal(PyObject_RichCompare(a, b, op)); }

inline Ref integer(long v) { return Ref::steal(PyLong_FromLong(v)); }
inline Ref ssize(Py_ssize_t v) { return Ref::steal(PyLong_FromSsize_t(v)); }
inline Ref real(double v) { return Ref::steal(PyFloat_FromDouble(v)); }
inline Ref none() { return Ref::borrow(Py_None); }

// len(o) as a Python int.
Ref length(PyObject* o);

inline Ref getitem(PyObject* o, PyObject* key) { return Ref::steal(PyObject_GetItem(o, key)); }
inline bool setitem(PyObject* o, PyObject* key, PyObject* v) { return PyObject_SetItem(o, key, v) == 0; }

// o[start:stop]; either bound may be nullptr (omitted).  Objects without
// item access raise "'%.200s' object is unsliceable".
Ref getslice(PyObject* o, PyObject* start, PyObject* stop);
Ref slice(PyObject* start, PyObject* stop);
// o[start:start + length], the end computed once.
Ref getslice_from(PyObject* o, PyObject* start, PyObject* length);
// o[start:start + length] += value, as the interpreter runs the statement:
// one slice object, the part read, added to in place, and stored back.
bool add_into(PyObject* o, PyObject* start, PyObject* length, PyObject* value);
Ref pack(std::initializer_list<PyObject*> items);

// Truth value: 1, 0, or -1 with an error set.
inline int truth(PyObject* o) { return PyObject_IsTrue(o); }

// next(it) into *item, left empty when the iterator is exhausted; false
// with the error set.
inline bool next_item(PyObject* it, Ref* item) {
    *item = Ref::steal(PyIter_Next(it));
    return *item || !PyErr_Occurred();
}

// Python integer to C index for loop bounds (like range(n)).
bool loop_bound(PyObject* n, Py_ssize_t* out);

// ---- module initialisation --------------------------------------------

// `import name` (absolute) from the module's namespace.
Ref import_absolute(PyObject* module, const char* name);
// `from .name import ...`: imports the sibling module relatively.
Ref import_relative(PyObject* module, const char* name, std::initializer_list<const char*> fromlist);
// Fetches `name` from an imported module, with the submodule fallback and
// ImportError "cannot import name %S".
Ref import_from(PyObject* from_module, const char* name);
// Binds `value` as a global of the module.
bool bind_global(PyObject* module, const char* name, PyObject* value);
// `from ... import name` once `from_module` is imported: fetches `name`
// (import_from) and binds it as a global of `module`.
inline Ref import_bound(PyObject* module, PyObject* from_module, const char* name) {
    Ref value = import_from(from_module, name);
    if (!value || !bind_global(module, name, value.get())) return Ref();
    return value;
}

}  // namespace korvel
