// The call frame shared by every function of the module: the function object
// type, argument binding, global lookup, traceback entries, calls, `with`
// blocks and exception handlers.
#pragma once

#include "state.hpp"

#include <algorithm>
#include <initializer_list>

namespace updater {

/// The native body of a function: `func` is the function object itself and
/// `args` its nparams bound arguments (borrowed). Returns a new reference, or
/// nullptr with an exception set and the traceback entry already added.
using Body = PyObject *(*)(PyObject *func, PyObject *const *args);

/// Everything fixed about one function of the module.
struct FuncSpec {
    const char *name;        // __name__: "progress_callback", "lambda3", ...
    const char *trace_name;  // "updater.UpdaterGUI._run_update.progress_callback.lambda3"
    Body body;
    int nparams;             // 0: the no-argument convention
    int def_line;            // co_firstlineno; binding failures are reported here
    Code code;
    PyObject *Names::*qualname;
    const char *varnames;    // parameters, then locals, separated by blanks
};

/// True when every spec binds within the frame's limit of max_params
/// parameters; each file that defines specs checks its own with it.
constexpr bool fit_frame(std::initializer_list<const FuncSpec *> specs)
{
    return std::ranges::all_of(
        specs, [](const FuncSpec *spec) { return spec->nparams >= 0 && spec->nparams <= max_params; });
}

/// A new function object described by the given entry, holding `scope` (may be
/// null) as its closure scope.
Ref new_function(const FuncSpec &fdef, PyObject *scope);
/// The closure scope of a function object (borrowed, may be null).
PyObject *function_scope(PyObject *func);

/// What a statement helper reports: its statements done, or an exception
/// pending with the traceback entry of the statement that raised it already
/// added. Only raise_at() makes a raised outcome, and an outcome converts to
/// nothing else: a helper cannot leave with a bare -1 and no entry, and a caller
/// cannot hand a raised outcome to fail() for a second entry.
/// A null Ref or a -1 keeps the C API's meaning: an exception set, no entry yet.
class [[nodiscard]] Outcome {
public:
    static constexpr Outcome ok() noexcept { return Outcome(false); }
    constexpr bool raised() const noexcept { return raised_; }

private:
    constexpr explicit Outcome(bool raised) noexcept : raised_(raised) {}
    friend Outcome raise_at(const char *func, int line);
    bool raised_;
};

/// Adds the traceback entry ("updater.py", func, line) to the pending exception.
Outcome raise_at(const char *func, int line);
/// raise_at() for a body, which returns nullptr: `return fail(...)`.
inline PyObject *fail(const char *func, int line)
{
    static_cast<void>(raise_at(func, line));
    return nullptr;
}
/// Looks a module global up: the module dict, then the builtins. New reference,
/// or nullptr with NameError (or the builtins' error) set.
Ref global(PyObject *name);

/// getattr(obj, name): new reference or nullptr.
inline Ref getattr(PyObject *obj, PyObject *name) { return steal(PyObject_GetAttr(obj, name)); }

/// callable(*args) through vectorcall.
inline Ref call(PyObject *callable, std::initializer_list<PyObject *> args = {})
{
    return steal(PyObject_Vectorcall(callable, args.begin(), args.size(), nullptr));
}
/// callable(*args, **dict(zip(kwnames, kwvalues))) through vectorcall.
Ref call_kw(PyObject *callable, std::initializer_list<PyObject *> args,
            std::initializer_list<PyObject *> kwnames, std::initializer_list<PyObject *> kwvalues);
/// obj.name(*args): attribute lookup, then a vectorcall.
Ref call_method(PyObject *obj, PyObject *name, std::initializer_list<PyObject *> args = {});
/// callable(*args) with a ready argument tuple, through the callee's call slot.
Ref call_tuple(PyObject *callable, PyObject *args);

/// "".join(pieces) for an f-string; OverflowError when the result would be too long.
Ref join(std::initializer_list<PyObject *> pieces);

/// A `with` block. enter() looks up __exit__, then __enter__, on the type and
/// calls __enter__. Leave it with exit_ok() on the normal path, or with
/// exit_error() while an exception is pending.
class With {
public:
    /// The result of __enter__, or nullptr with an exception set.
    Ref enter(PyObject *manager);
    /// __exit__(None, None, None): 0, or -1 with an exception set.
    int exit_ok();
    /// __exit__(type, value, tb) with the pending exception: 1 when __exit__
    /// suppressed it (nothing pending), -1 with an exception pending otherwise.
    int exit_error();

private:
    Ref exit_;
};

/// `except ...:` — true when the pending exception matches `cls`.
inline bool pending_matches(PyObject *cls) { return PyErr_ExceptionMatches(cls) != 0; }

/// An exception handler body: takes the pending exception and makes it the
/// handled one (sys.exc_info()) until the handler ends, when the previous one
/// is put back. Exceptions raised inside get it as their __context__.
class Handler {
public:
    Handler();
    ~Handler();
    Handler(const Handler &) = delete;
    Handler &operator=(const Handler &) = delete;
    PyObject *exception() const { return exc_.get(); }

private:
    Ref exc_;
    PyObject *previous_;
};

}  // namespace updater
