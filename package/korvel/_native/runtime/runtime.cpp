#include "runtime.hpp"

namespace korvel {

Ref global(const Call& c, PyObject* name) {
    if (!name) return Ref();
    PyObject* v = PyDict_GetItemWithError(c.globals, name);
    if (v) return Ref::borrow(v);
    if (PyErr_Occurred()) return Ref();
    v = PyDict_GetItemWithError(PyEval_GetBuiltins(), name);
    if (v) return Ref::borrow(v);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Ref();
}

Ref np_attr(const Call& c, PyObject* name) {
    Ref np = global(c, K_NAME("np"));
    if (!np) return np;
    return attr(np.get(), name);
}

Ref np_call(const Call& c, PyObject* name, std::initializer_list<PyObject*> args) {
    Ref f = np_attr(c, name);
    if (!f) return f;
    return call(f.get(), args);
}

Ref call_kw(PyObject* f, std::initializer_list<PyObject*> args, PyObject* kwname, PyObject* kwvalue) {
    // Room for the positional arguments and the keyword's value.
    constexpr size_t kStack = 8;
    PyObject* stack[kStack];
    if (args.size() >= kStack) {
        PyErr_SetString(PyExc_SystemError, "korvel call_kw: too many positional arguments");
        return Ref();
    }
    size_t n = 0;
    for (PyObject* a : args) stack[n++] = a;
    stack[n] = kwvalue;
    Ref names = Ref::steal(PyTuple_Pack(1, kwname));
    if (!names) return Ref();
    return Ref::steal(PyObject_Vectorcall(f, stack, n, names.get()));
}

Ref length(PyObject* o) {
    Py_ssize_t n = PyObject_Size(o);
    if (n < 0) return Ref();
    return ssize(n);
}

Ref slice(PyObject* start, PyObject* stop) { return Ref::steal(PySlice_New(start, stop, nullptr)); }

Ref getslice(PyObject* o, PyObject* start, PyObject* stop) {
    PyMappingMethods* mp = Py_TYPE(o)->tp_as_mapping;
    if (!mp || !mp->mp_subscript) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is unsliceable", Py_TYPE(o)->tp_name);
        return Ref();
    }
    Ref s = slice(start, stop);
    if (!s) return Ref();
    return Ref::steal(mp->mp_subscript(o, s.get()));
}

Ref getslice_from(PyObject* o, PyObject* start, PyObject* length) {
    Ref end = add(start, length);
    if (!end) return Ref();
    return getslice(o, start, end.get());
}

bool add_into(PyObject* o, PyObject* start, PyObject* length, PyObject* value) {
    Ref end = add(start, length);
    Ref where = end ? slice(start, end.get()) : Ref();
    Ref part = where ? getitem(o, where.get()) : Ref();
    Ref summed = part ? iadd(part.get(), value) : Ref();
    return summed && setitem(o, where.get(), summed.get());
}

Ref pack(std::initializer_list<PyObject*> items) {
    Ref t = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    if (!t) return Ref();
    Py_ssize_t i = 0;
    for (PyObject* o : items) PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(o));
    return t;
}

bool loop_bound(PyObject* n, Py_ssize_t* out) {
    Ref idx = Ref::steal(PyNumber_Index(n));
    if (!idx) return false;
    Py_ssize_t v = PyLong_AsSsize_t(idx.get());
    if (v == -1 && PyErr_Occurred()) return false;
    *out = v;
    return true;
}

Ref import_absolute(PyObject* module, const char* name) {
    Ref n = Ref::steal(PyUnicode_FromString(name));
    if (!n) return Ref();
    return Ref::steal(PyImport_ImportModuleLevelObject(n.get(), PyModule_GetDict(module), nullptr,
                                                       nullptr, 0));
}

Ref import_relative(PyObject* module, const char* name, std::initializer_list<const char*> fromlist) {
    Ref n = Ref::steal(PyUnicode_FromString(name));
    Ref from = Ref::steal(PyList_New(0));
    if (!n || !from) return Ref();
    for (const char* s : fromlist) {
        Ref item = Ref::steal(PyUnicode_FromString(s));
        if (!item || PyList_Append(from.get(), item.get()) < 0) return Ref();
    }
    return Ref::steal(PyImport_ImportModuleLevelObject(n.get(), PyModule_GetDict(module), nullptr,
                                                       from.get(), 1));
}

Ref import_from(PyObject* from_module, const char* name) {
    Ref n = Ref::steal(PyUnicode_FromString(name));
    if (!n) return Ref();
    Ref value = Ref::steal(PyObject_GetAttr(from_module, n.get()));
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
    // Only a missing attribute falls back to an imported submodule.
    PyErr_Clear();
    Ref mod_name = Ref::steal(PyObject_GetAttrString(from_module, "__name__"));
    if (mod_name) {
        Ref full = Ref::steal(PyUnicode_FromFormat("%U.%U", mod_name.get(), n.get()));
        if (full) value = Ref::steal(PyImport_GetModule(full.get()));
    }
    if (!value) PyErr_Format(PyExc_ImportError, "cannot import name %S", n.get());
    return value;
}

bool bind_global(PyObject* module, const char* name, PyObject* value) {
    return PyModule_AddObjectRef(module, name, value) == 0;
}

}  // namespace korvel
