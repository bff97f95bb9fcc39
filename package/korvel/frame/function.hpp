// The callable type shared by every exported function, and its binder.
#pragma once
#include "ref.hpp"

namespace korvel {

constexpr int kMaxParams = 8;

struct ModuleInfo {
    const char* name;  // dotted module name, e.g. "korvel.sonix"
    const char* file;  // file name shown in traceback entries
};

struct Call;
using Impl = Ref (*)(Call&);

// Static description of one exported function.
struct FuncDef {
    const char* name;
    const char* doc;
    const char* params[kMaxParams];
    int nparams;
    Impl impl;
    int line;  // reported for errors raised before the body runs
};

// One call in progress: the bound arguments and the module's globals.
struct Call {
    PyObject* const* args;  // nparams bound values (borrowed, kept alive by the caller)
    PyObject* globals;      // the module dict
    const ModuleInfo* module;
    int line = 0;           // line of the statement that failed

    PyObject* arg(int i) const noexcept { return args[i]; }
    // Records the failing line and returns the empty handle.
    Ref fail(int at) noexcept {
        line = at;
        return Ref();
    }
};

// Creates the function object for `def`, with `defaults` (a tuple, or empty
// for none), binds it in `module`'s namespace and returns 0, or -1 with an
// error set.
int add_function(PyObject* module, const ModuleInfo& info, const FuncDef& def, Ref defaults);

// Adds a traceback entry "<name>" in `file` at `line` to the error being raised.
void add_traceback(const char* name, const char* file, int line);

}  // namespace korvel

// Statement helpers for function bodies: on failure they record the line of
// the statement and leave the function with the error set.
#define K_LET(var, expr)                 \
    ::korvel::Ref var = (expr);          \
    if (!var) return c.fail(__LINE__)
#define K_SET(var, expr)                 \
    var = (expr);                        \
    if (!var) return c.fail(__LINE__)
#define K_CHECK(cond)                    \
    if (!(cond)) return c.fail(__LINE__)
