// The callable type shared by every exported function, and its binder.
#pragma once
#include <cstddef>
#include <utility>

#include "ref.hpp"

namespace korvel {

constexpr int kMaxParams = 8;

struct ModuleInfo {
    const char* name;       // dotted module name, e.g. "korvel.sonix"
    const char* file;       // file name shown in traceback entries
    const char* init_name;  // traceback entry of a failed initialisation
};

struct Call;
struct ModuleState;  // fast_path.hpp
using Impl = Ref (*)(Call&) noexcept;

// Static description of one exported function.
struct FuncDef {
    const char* name;
    const char* doc;
    const char* params[kMaxParams];
    int nparams;
    Impl impl;
    int line;  // reported for errors raised before the body runs
};

// One call in progress: the bound arguments, the module's globals and what
// the module object captured at its initialisation.
struct Call {
    PyObject* const* args;  // nparams bound values (borrowed, kept alive by the caller)
    PyObject* globals;      // the module dict
    const ModuleInfo* module;
    ModuleState* state;     // the module object's state (kept alive by the function)
    int line = 0;           // line of the statement that failed

    PyObject* arg(int i) const noexcept { return args[i]; }
    // Records the failing line and returns the empty handle.
    Ref fail(int at) noexcept {
        line = at;
        return Ref();
    }
};

// A body that takes its bound arguments as parameters,
//     Ref body(Call& c, PyObject* x, PyObject* win_len, ...) noexcept,
// registered as with_args<body>: it is called with c.arg(0), c.arg(1), ...
template <typename... Params>
constexpr std::size_t arity(Ref (*)(Call&, Params...) noexcept) {
    return sizeof...(Params);
}
template <auto Body, std::size_t... I>
Ref call_with_args(Call& c, std::index_sequence<I...>) noexcept {
    return Body(c, c.arg(I)...);
}
template <auto Body>
Ref with_args(Call& c) noexcept {
    static_assert(arity(Body) <= kMaxParams, "more parameters than a function may have");
    return call_with_args<Body>(c, std::make_index_sequence<arity(Body)>{});
}

// Creates the function object for `def`, with `defaults` (a tuple, or empty
// for none; empty with an error set fails), binds it in `module`'s
// namespace and returns 0, or -1 with an error set.
int add_function(PyObject* module, const ModuleInfo& info, const FuncDef& def, Ref defaults);

// Adds a traceback entry "<name>" in `file` at `line` to the error being raised.
void add_traceback(const char* name, const char* file, int line);

// Runs a module's initialisation steps; `init` returns false with the
// failing line in *line.  The failure gets the "init <module>" entry.
int run_init(PyObject* module, const ModuleInfo& info, bool (*init)(PyObject*, int*));

}  // namespace korvel

// The statement macros of a function body.  Each leaves the body through
// c.fail(__LINE__) -- the line of the macro's use, which the traceback entry
// reports -- when its value is empty or its condition false.
//
// K_SET, K_CHECK and K_INIT are single statements (do { } while (0)), safe
// in an unbraced if/else.  K_LET and K_FAST declare a variable for the rest
// of the scope, so they cannot be wrapped; they end in `if (ok) {} else
// return ...`, an if that already has its else, so a later `else` can never
// attach to it (it fails to compile instead of changing meaning).
#define K_LET(var, expr)        \
    ::korvel::Ref var = (expr); \
    if (var) {                  \
    } else                      \
        return c.fail(__LINE__)
#define K_SET(var, expr)                        \
    do {                                        \
        var = (expr);                           \
        if (!var) return c.fail(__LINE__);      \
    } while (0)
#define K_CHECK(cond)                           \
    do {                                        \
        if (!(cond)) return c.fail(__LINE__);   \
    } while (0)

#define K_INIT(cond)              \
    do {                          \
        if (!(cond)) {            \
            *line = __LINE__;     \
            return false;         \
        }                         \
    } while (0)
