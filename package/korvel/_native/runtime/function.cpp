#include "function.hpp"

#include <array>
#include <cstdio>
#include <cstring>

namespace korvel {
namespace {

struct FunctionObject {
    PyObject_HEAD
    const FuncDef* def;
    const ModuleInfo* info;
    PyObject* name;
    PyObject* qualname;
    PyObject* module_name;
    PyObject* doc;
    PyObject* defaults;  // tuple or nullptr
    PyObject* globals;   // module dict
    PyObject* module;    // the module object, owner of the state
    ModuleState* state;  // its captures
    PyObject* tb_name;   // "korvel.sonix.stft"
    PyObject* kwnames[kMaxParams];
};

FunctionObject* as_fn(PyObject* o) { return reinterpret_cast<FunctionObject*>(o); }

Py_ssize_t ndefaults(const FunctionObject* f) {
    return f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
}

void count_error(const FunctionObject* f, bool exact, const char* bound, Py_ssize_t expected,
                 Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 f->def->name, exact ? "exactly" : bound, expected, expected == 1 ? "" : "s",
                 given);
}

// Keyword match by exact string equality against the parameter names.
int param_index(const FunctionObject* f, PyObject* key) {
    for (int i = 0; i < f->def->nparams; ++i) {
        if (f->kwnames[i] == key) return i;
    }
    for (int i = 0; i < f->def->nparams; ++i) {
        int eq = PyUnicode_Compare(f->kwnames[i], key);
        if (eq == 0) return i;
        if (eq == -1 && PyErr_Occurred()) PyErr_Clear();
    }
    return -1;
}

// Binds args/kwargs to the parameter table; fills `out` with new references
// (every slot, or none on failure).  A value is owned from the moment it is
// bound: looking up later keywords may run Python code (str subclasses with
// their own __eq__) that changes the keyword dict.
bool bind(const FunctionObject* f, PyObject* args, PyObject* kwargs, PyObject** out) {
    const int P = f->def->nparams;
    const Py_ssize_t nd = ndefaults(f);
    const Py_ssize_t R = P - nd;
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const bool exact = nd == 0;
    if (nargs > P) {
        count_error(f, exact, "at most", P, nargs);
        return false;
    }
    Py_ssize_t bound = 0;
    auto fail = [&] {
        for (Py_ssize_t i = 0; i < bound; ++i) Py_CLEAR(out[i]);
        return false;
    };
    for (; bound < nargs; ++bound) out[bound] = Py_NewRef(PyTuple_GET_ITEM(args, bound));
    const bool has_kw = kwargs && PyDict_GET_SIZE(kwargs) > 0;
    if (!has_kw) {
        if (nargs < R) {
            count_error(f, exact, "at least", R, nargs);
            return fail();
        }
        for (; bound < P; ++bound) out[bound] = Py_NewRef(PyTuple_GET_ITEM(f->defaults, bound - R));
        return true;
    }
    Py_ssize_t matched = 0;
    for (; bound < P; ++bound) {
        PyObject* v = PyDict_GetItemWithError(kwargs, f->kwnames[bound]);
        if (v) {
            out[bound] = Py_NewRef(v);
            ++matched;
        } else if (PyErr_Occurred()) {
            return fail();
        } else if (bound < R) {
            count_error(f, exact, "at least", R, bound);
            return fail();
        } else {
            out[bound] = Py_NewRef(PyTuple_GET_ITEM(f->defaults, bound - R));
        }
    }
    if (matched == PyDict_GET_SIZE(kwargs)) return true;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", f->def->name);
            return fail();
        }
        int idx = param_index(f, key);
        if (idx >= 0 && idx < nargs) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         f->def->name, key);
            return fail();
        }
        if (idx < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         f->def->name, key);
            return fail();
        }
    }
    return true;
}

PyObject* fn_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    FunctionObject* f = as_fn(self);
    PyObject* bound[kMaxParams] = {};
    if (!bind(f, args, kwargs, bound)) {
        add_traceback(PyUnicode_AsUTF8(f->tb_name), f->info->file, f->def->line);
        return nullptr;
    }
    Call c{bound, f->globals, f->info, f->state};
    Ref result = f->def->impl(c);
    for (int i = 0; i < f->def->nparams; ++i) Py_DECREF(bound[i]);
    if (!result) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "korvel function failed without an exception");
        }
        add_traceback(PyUnicode_AsUTF8(f->tb_name), f->info->file, c.line ? c.line : f->def->line);
    }
    return result.release();
}

// The references that can take part in a cycle, listed once so that the
// collector's visit and clear cannot disagree.
std::array<PyObject**, 3> cycle_refs(FunctionObject* f) { return {&f->globals, &f->module, &f->defaults}; }

int fn_traverse(PyObject* self, visitproc visit, void* arg) {
    for (PyObject** ref : cycle_refs(as_fn(self))) Py_VISIT(*ref);
    return 0;
}

int fn_clear(PyObject* self) {
    for (PyObject** ref : cycle_refs(as_fn(self))) Py_CLEAR(*ref);
    return 0;
}

void fn_dealloc(PyObject* self) {
    FunctionObject* f = as_fn(self);
    PyObject_GC_UnTrack(self);
    fn_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module_name);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->tb_name);
    for (int i = 0; i < kMaxParams; ++i) Py_CLEAR(f->kwnames[i]);
    PyObject_GC_Del(self);
}

PyObject* fn_repr(PyObject* self) {
    FunctionObject* f = as_fn(self);
    return PyUnicode_FromFormat("<korvel function %U.%U>", f->module_name, f->qualname);
}

PyObject* get_or_none(PyObject* o) {
    if (!o) Py_RETURN_NONE;
    Py_INCREF(o);
    return o;
}

PyObject* get_name(PyObject* self, void*) { return get_or_none(as_fn(self)->name); }
PyObject* get_qualname(PyObject* self, void*) { return get_or_none(as_fn(self)->qualname); }
PyObject* get_module(PyObject* self, void*) { return get_or_none(as_fn(self)->module_name); }
PyObject* get_doc(PyObject* self, void*) { return get_or_none(as_fn(self)->doc); }
PyObject* get_defaults(PyObject* self, void*) { return get_or_none(as_fn(self)->defaults); }

// inspect.signature() asks for __signature__ first; build it from the table.
PyObject* get_signature(PyObject* self, void*) {
    FunctionObject* f = as_fn(self);
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    if (!inspect) return nullptr;
    Ref param_cls = Ref::steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
    if (!param_cls) return nullptr;
    Ref kind = Ref::steal(PyObject_GetAttrString(param_cls.get(), "POSITIONAL_OR_KEYWORD"));
    if (!kind) return nullptr;
    const int P = f->def->nparams;
    const Py_ssize_t R = P - ndefaults(f);
    Ref params = Ref::steal(PyList_New(0));
    if (!params) return nullptr;
    for (int i = 0; i < P; ++i) {
        Ref pargs = Ref::steal(PyTuple_Pack(2, f->kwnames[i], kind.get()));
        Ref kw = Ref::steal(PyDict_New());
        if (!pargs || !kw) return nullptr;
        if (i >= R && PyDict_SetItemString(kw.get(), "default",
                                           PyTuple_GET_ITEM(f->defaults, i - R)) < 0) {
            return nullptr;
        }
        Ref p = Ref::steal(PyObject_Call(param_cls.get(), pargs.get(), kw.get()));
        if (!p || PyList_Append(params.get(), p.get()) < 0) return nullptr;
    }
    Ref sig_cls = Ref::steal(PyObject_GetAttrString(inspect.get(), "Signature"));
    if (!sig_cls) return nullptr;
    return PyObject_CallOneArg(sig_cls.get(), params.get());
}

// Pickled by reference: the module attribute of this name.
PyObject* fn_reduce(PyObject* self, PyObject*) { return get_or_none(as_fn(self)->qualname); }

PyGetSetDef fn_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef fn_methods[] = {
    {"__reduce__", fn_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject* function_type() {
    static PyTypeObject type = [] {
        PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
        t.tp_name = "korvel.function";
        t.tp_basicsize = sizeof(FunctionObject);
        t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
        t.tp_dealloc = fn_dealloc;
        t.tp_repr = fn_repr;
        t.tp_call = fn_call;
        t.tp_traverse = fn_traverse;
        t.tp_clear = fn_clear;
        t.tp_getset = fn_getset;
        t.tp_methods = fn_methods;
        return t;
    }();
    return &type;
}

}  // namespace

int add_function(PyObject* module, const ModuleInfo& info, const FuncDef& def, Ref defaults) {
    if (!defaults && PyErr_Occurred()) return -1;
    PyTypeObject* type = function_type();
    if (!(type->tp_flags & Py_TPFLAGS_READY) && PyType_Ready(type) < 0) return -1;
    Ref obj = Ref::steal(reinterpret_cast<PyObject*>(PyObject_GC_New(FunctionObject, type)));
    if (!obj) return -1;
    FunctionObject* f = as_fn(obj.get());
    f->def = &def;
    f->info = &info;
    f->name = PyUnicode_InternFromString(def.name);
    f->qualname = Py_XNewRef(f->name);
    f->module_name = PyUnicode_InternFromString(info.name);
    f->doc = PyUnicode_FromString(def.doc);
    f->defaults = defaults.release();
    f->globals = Py_XNewRef(PyModule_GetDict(module));
    f->module = Py_NewRef(module);
    f->state = static_cast<ModuleState*>(PyModule_GetState(module));
    f->tb_name = PyUnicode_FromFormat("%s.%s", info.name, def.name);
    bool ok = f->name && f->module_name && f->doc && f->globals && f->tb_name;
    for (int i = 0; i < kMaxParams; ++i) {
        f->kwnames[i] = i < def.nparams ? PyUnicode_InternFromString(def.params[i]) : nullptr;
        ok = ok && (i >= def.nparams || f->kwnames[i]);
    }
    PyObject_GC_Track(obj.get());
    if (!ok) return -1;
    return PyModule_AddObjectRef(module, def.name, obj.get());
}

void add_traceback(const char* name, const char* file, int line) {
    if (name && PyErr_Occurred()) _PyTraceback_Add(name, file, line);
}

int run_init(PyObject* module, const ModuleInfo& info, bool (*init)(PyObject*, int*)) {
    int line = 0;
    if (init(module, &line)) return 0;
    add_traceback(info.init_name, info.file, line);
    return -1;
}

}  // namespace korvel
