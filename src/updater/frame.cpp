// The call frame: the function object type, argument binding, module-global
// lookup, traceback entries, calls, `with` blocks and exception handlers.
#include "frame.hpp"
#include "init.hpp"

#include <frameobject.h>
#include <structmember.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>

namespace updater {

// ---------------------------------------------------------------------------
// Code objects and parameter names

namespace {

/// The first name in `text` at or after `p`; `len` receives its length.
const char *next_name(const char *p, std::size_t &len)
{
    while (*p == ' ')
        ++p;
    const char *end = std::strchr(p, ' ');
    len = end ? static_cast<std::size_t>(end - p) : std::strlen(p);
    return p;
}

/// A new tuple of the interned names in `text`, separated by blanks.
Ref split_names(const char *text)
{
    std::size_t len = 0;
    Py_ssize_t count = 0;
    for (const char *p = next_name(text, len); *p; p = next_name(p + len, len))
        ++count;
    Ref tuple = steal(PyTuple_New(count));
    if (!tuple)
        return {};
    Py_ssize_t i = 0;
    for (const char *p = next_name(text, len); *p; p = next_name(p + len, len)) {
        PyObject *item = PyUnicode_FromStringAndSize(p, static_cast<Py_ssize_t>(len));
        if (!item)
            return {};
        PyUnicode_InternInPlace(&item);
        PyTuple_SET_ITEM(tuple.get(), i++, item);
    }
    return tuple;
}

/// The last dotted component of a qualified name ("<lambda>", "__init__").
Ref short_name(PyObject *qualname)
{
    Py_ssize_t len = PyUnicode_GET_LENGTH(qualname);
    Py_ssize_t dot = PyUnicode_FindChar(qualname, '.', 0, len, -1);
    if (dot == -2)
        return {};
    Ref name = steal(PyUnicode_Substring(qualname, dot + 1, len));
    if (!name)
        return {};
    PyObject *raw = name.release();
    PyUnicode_InternInPlace(&raw);
    return steal(raw);
}

}  // namespace

int init_code_objects(std::span<const FuncSpec *const> functions)
{
    // Equal name tuples are shared between code objects.
    Ref shared = steal(PyDict_New());
    if (!shared)
        return -1;
    for (const FuncSpec *fs : functions) {
        Ref key = steal(PyUnicode_FromString(fs->varnames));
        if (!key)
            return -1;
        Ref varnames = borrow(PyDict_GetItemWithError(shared.get(), key.get()));
        if (!varnames) {
            if (PyErr_Occurred())
                return -1;
            varnames = split_names(fs->varnames);
            if (!varnames || PyDict_SetItem(shared.get(), key.get(), varnames.get()) < 0)
                return -1;
        }
        PyObject *qualname = names.*(fs->qualname);
        Ref name = short_name(qualname);
        if (!name)
            return -1;
        const char *name_text = PyUnicode_AsUTF8(name.get());
        if (!name_text)
            return -1;
        Ref empty = steal(reinterpret_cast<PyObject *>(
            PyCode_NewEmpty("updater.py", name_text, fs->def_line)));
        if (!empty)
            return -1;
        Ref replace = steal(PyObject_GetAttrString(empty.get(), "replace"));
        if (!replace)
            return -1;
        Ref argcount = steal(PyLong_FromLong(fs->nparams));
        Ref flags = steal(PyLong_FromLong(CO_OPTIMIZED | CO_NEWLOCALS));
        Ref nlocals = steal(PyLong_FromSsize_t(PyTuple_GET_SIZE(varnames.get())));
        if (!argcount || !flags || !nlocals)
            return -1;
        Ref code = call_kw(replace.get(), {},
                           {names.co_argcount, names.co_nlocals, names.co_varnames,
                            names.co_flags, names.co_name, names.co_qualname},
                           {argcount.get(), nlocals.get(), varnames.get(), flags.get(),
                            name.get(), name.get()});
        if (!code)
            return -1;
        int index = static_cast<int>(fs->code);
        Py_XSETREF(state.codes[index], code.release());
        for (int i = 0; i < fs->nparams; ++i)
            Py_XSETREF(state.param_names[index][i], Py_NewRef(PyTuple_GET_ITEM(varnames.get(), i)));
    }
    return 0;
}

// ---------------------------------------------------------------------------
// The function object type

namespace {

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FuncSpec *info;
    PyObject *qualname;
    PyObject *module;
    PyObject *globals;
    PyObject *code;
    PyObject *scope;
    PyObject *name;  // made on first read
    PyObject *doc;
    PyObject *dict;         // made on first read
    PyObject *annotations;  // made on first read
    PyObject *defaults;
    PyObject *kwdefaults;
    PyObject *weakreflist;
};

Function *as_function(PyObject *op) { return reinterpret_cast<Function *>(op); }

PyObject *binding_error(const Function *f)
{
    return fail(f->info->trace_name, f->info->def_line);
}

PyObject *count_error(const Function *f, Py_ssize_t given)
{
    int n = f->info->nparams;
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 f->info->name, "exactly", static_cast<Py_ssize_t>(n), n == 1 ? "" : "s", given);
    return binding_error(f);
}

/// The parameter among params[from, n) named by `key`: its index, -1 when
/// none, -2 with an exception set when a comparison failed.
int find_param(PyObject *const *params, int from, int n, PyObject *key)
{
    for (int j = from; j < n; ++j)
        if (params[j] == key)
            return j;
    if (PyUnicode_CheckExact(key)) {
        Py_hash_t hash = PyObject_Hash(key);
        if (hash == -1)
            return -2;
        for (int j = from; j < n; ++j)
            if (PyObject_Hash(params[j]) == hash && PyUnicode_Compare(params[j], key) == 0)
                return j;
    } else if (PyUnicode_Check(key)) {
        for (int j = from; j < n; ++j) {
            int eq = PyObject_RichCompareBool(key, params[j], Py_EQ);
            if (eq < 0)
                return -2;
            if (eq)
                return j;
        }
    }
    return -1;
}

PyObject *function_vectorcall(PyObject *op, PyObject *const *args, size_t nargsf,
                              PyObject *kwnames) noexcept
{
    Function *f = as_function(op);
    const FuncSpec &spec = *f->info;
    Py_ssize_t n = PyVectorcall_NARGS(nargsf);
    Py_ssize_t k = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    int nparams = spec.nparams;

    if (nparams == 0) {
        if (k > 0) {
            PyErr_Format(PyExc_TypeError, "%.200s() %s", spec.name, "takes no keyword arguments");
            return nullptr;
        }
        if (n > 0) {
            PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", spec.name,
                         "takes no arguments", n);
            return nullptr;
        }
        return spec.body(op, nullptr);
    }
    if (k == 0) {
        if (n != nparams)
            return count_error(f, n);
        return spec.body(op, args);
    }
    if (n > nparams)
        return count_error(f, n);

    std::array<PyObject *, max_params> bound{};
    std::copy(args, args + n, bound.begin());
    PyObject *const *params = state.param_names[static_cast<int>(spec.code)];
    for (Py_ssize_t i = 0; i < k; ++i) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, i);
        int j = find_param(params, static_cast<int>(n), nparams, key);
        if (j == -2)
            return binding_error(f);
        if (j >= 0 && !bound[j]) {
            bound[j] = args[n + i];
            continue;
        }
        if (j < 0 && PyUnicode_Check(key))
            j = find_param(params, 0, static_cast<int>(n), key);
        if (j == -2)
            return binding_error(f);
        if (j >= 0) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         spec.name, key);
        } else if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", spec.name);
        } else {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         spec.name, key);
        }
        return binding_error(f);
    }
    for (int j = 0; j < nparams; ++j)
        if (!bound[j])
            return count_error(f, j);
    return spec.body(op, bound.data());
}

// Getters and setters

PyObject *function_get_name(PyObject *op, void *) noexcept
{
    Function *f = as_function(op);
    if (!f->name) {
        f->name = PyUnicode_InternFromString(f->info->name);
        if (!f->name)
            return nullptr;
    }
    return Py_NewRef(f->name);
}

int function_set_name(PyObject *op, PyObject *value, void *) noexcept
{
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
        return -1;
    }
    Py_XSETREF(as_function(op)->name, Py_NewRef(value));
    return 0;
}

PyObject *function_get_qualname(PyObject *op, void *) noexcept
{
    return Py_NewRef(as_function(op)->qualname);
}

int function_set_qualname(PyObject *op, PyObject *value, void *) noexcept
{
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
        return -1;
    }
    Py_SETREF(as_function(op)->qualname, Py_NewRef(value));
    return 0;
}

PyObject *function_get_doc(PyObject *op, void *) noexcept
{
    return Py_NewRef(as_function(op)->doc);
}

int function_set_doc(PyObject *op, PyObject *value, void *) noexcept
{
    Py_SETREF(as_function(op)->doc, Py_NewRef(value ? value : Py_None));
    return 0;
}

PyObject *function_get_dict(PyObject *op, void *) noexcept
{
    Function *f = as_function(op);
    if (!f->dict) {
        f->dict = PyDict_New();
        if (!f->dict)
            return nullptr;
    }
    return Py_NewRef(f->dict);
}

int function_set_dict(PyObject *op, PyObject *value, void *) noexcept
{
    if (!value) {
        PyErr_SetString(PyExc_TypeError, "function's dictionary may not be deleted");
        return -1;
    }
    if (!PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "setting function's dictionary to a non-dict");
        return -1;
    }
    Py_XSETREF(as_function(op)->dict, Py_NewRef(value));
    return 0;
}

PyObject *function_get_globals(PyObject *op, void *) noexcept
{
    return Py_NewRef(as_function(op)->globals);
}

PyObject *function_get_closure(PyObject *, void *) noexcept { Py_RETURN_NONE; }

PyObject *function_get_code(PyObject *op, void *) noexcept
{
    return Py_NewRef(as_function(op)->code);
}

PyObject *function_get_defaults(PyObject *op, void *) noexcept
{
    PyObject *d = as_function(op)->defaults;
    return Py_NewRef(d ? d : Py_None);
}

int warn_ignored(const char *attr)
{
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "changing %s of a native function does not affect the values "
                            "used in function calls",
                            attr);
}

int function_set_defaults(PyObject *op, PyObject *value, void *) noexcept
{
    if (!value)
        value = Py_None;
    if (value != Py_None && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    if (warn_ignored("__defaults__") < 0)
        return -1;
    Py_XSETREF(as_function(op)->defaults, value == Py_None ? nullptr : Py_NewRef(value));
    return 0;
}

PyObject *function_get_kwdefaults(PyObject *op, void *) noexcept
{
    PyObject *d = as_function(op)->kwdefaults;
    return Py_NewRef(d ? d : Py_None);
}

int function_set_kwdefaults(PyObject *op, PyObject *value, void *) noexcept
{
    if (!value)
        value = Py_None;
    if (value != Py_None && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    if (warn_ignored("__kwdefaults__") < 0)
        return -1;
    Py_XSETREF(as_function(op)->kwdefaults, value == Py_None ? nullptr : Py_NewRef(value));
    return 0;
}

PyObject *function_get_annotations(PyObject *op, void *) noexcept
{
    Function *f = as_function(op);
    if (!f->annotations) {
        f->annotations = PyDict_New();
        if (!f->annotations)
            return nullptr;
    }
    return Py_NewRef(f->annotations);
}

int function_set_annotations(PyObject *op, PyObject *value, void *) noexcept
{
    if (value == Py_None)
        value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(op)->annotations, Py_XNewRef(value));
    return 0;
}

PyObject *function_get_is_coroutine(PyObject *, void *) noexcept { Py_RETURN_FALSE; }

PyObject *function_reduce(PyObject *op, PyObject *) noexcept
{
    return Py_NewRef(as_function(op)->qualname);
}

PyObject *function_descr_get(PyObject *op, PyObject *obj, PyObject *) noexcept
{
    if (!obj)
        return Py_NewRef(op);
    return PyMethod_New(op, obj);
}

PyObject *function_repr(PyObject *op) noexcept
{
    return PyUnicode_FromFormat("<function %U at %p>", as_function(op)->qualname, op);
}

int function_traverse(PyObject *op, visitproc visit, void *arg) noexcept
{
    Function *f = as_function(op);
    Py_VISIT(Py_TYPE(op));
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->globals);
    Py_VISIT(f->code);
    Py_VISIT(f->scope);
    Py_VISIT(f->name);
    Py_VISIT(f->doc);
    Py_VISIT(f->dict);
    Py_VISIT(f->annotations);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    return 0;
}

int function_clear(PyObject *op) noexcept
{
    Function *f = as_function(op);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->code);
    Py_CLEAR(f->scope);
    Py_CLEAR(f->name);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    return 0;
}

void function_dealloc(PyObject *op) noexcept
{
    PyTypeObject *type = Py_TYPE(op);
    PyObject_GC_UnTrack(op);
    if (as_function(op)->weakreflist)
        PyObject_ClearWeakRefs(op);
    function_clear(op);
    type->tp_free(op);
    Py_DECREF(type);
}

PyGetSetDef function_getset[] = {
    {"__name__", function_get_name, function_set_name, nullptr, nullptr},
    {"func_name", function_get_name, function_set_name, nullptr, nullptr},
    {"__qualname__", function_get_qualname, function_set_qualname, nullptr, nullptr},
    {"__doc__", function_get_doc, function_set_doc, nullptr, nullptr},
    {"func_doc", function_get_doc, function_set_doc, nullptr, nullptr},
    {"__dict__", function_get_dict, function_set_dict, nullptr, nullptr},
    {"func_dict", function_get_dict, function_set_dict, nullptr, nullptr},
    {"__globals__", function_get_globals, nullptr, nullptr, nullptr},
    {"func_globals", function_get_globals, nullptr, nullptr, nullptr},
    {"__closure__", function_get_closure, nullptr, nullptr, nullptr},
    {"func_closure", function_get_closure, nullptr, nullptr, nullptr},
    {"__code__", function_get_code, nullptr, nullptr, nullptr},
    {"func_code", function_get_code, nullptr, nullptr, nullptr},
    {"__defaults__", function_get_defaults, function_set_defaults, nullptr, nullptr},
    {"func_defaults", function_get_defaults, function_set_defaults, nullptr, nullptr},
    {"__kwdefaults__", function_get_kwdefaults, function_set_kwdefaults, nullptr, nullptr},
    {"__annotations__", function_get_annotations, function_set_annotations, nullptr, nullptr},
    {"_is_coroutine", function_get_is_coroutine, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(Function, module), 0, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Function, vectorcall), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(Function, weakreflist), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(Function, dict), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(function_dealloc)},
    {Py_tp_repr, reinterpret_cast<void *>(function_repr)},
    {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
    {Py_tp_traverse, reinterpret_cast<void *>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(function_clear)},
    {Py_tp_descr_get, reinterpret_cast<void *>(function_descr_get)},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "updater_function",
    sizeof(Function),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

}  // namespace

int init_function_type()
{
    PyObject *type = PyType_FromSpec(&function_spec);
    if (!type)
        return -1;
    Py_XSETREF(state.function_type, reinterpret_cast<PyTypeObject *>(type));
    return 0;
}

Ref new_function(const FuncSpec &fdef, PyObject *scope)
{
    Function *f = PyObject_GC_New(Function, state.function_type);
    if (!f)
        return {};
    f->vectorcall = function_vectorcall;
    f->info = &fdef;
    f->qualname = Py_NewRef(names.*(fdef.qualname));
    f->module = Py_NewRef(names.updater);
    f->globals = Py_NewRef(state.dict);
    f->code = Py_NewRef(state.codes[static_cast<int>(fdef.code)]);
    f->scope = Py_XNewRef(scope);
    f->name = nullptr;
    f->doc = Py_NewRef(Py_None);
    f->dict = nullptr;
    f->annotations = nullptr;
    f->defaults = nullptr;
    f->kwdefaults = nullptr;
    f->weakreflist = nullptr;
    PyObject_GC_Track(f);
    return steal(reinterpret_cast<PyObject *>(f));
}

PyObject *function_scope(PyObject *func) { return as_function(func)->scope; }

// ---------------------------------------------------------------------------
// Traceback entries

namespace {

/// The code object for `line` (borrowed), made on first use. nullptr with the
/// pending exception replaced by the creation error when that fails.
PyObject *code_for_line(const char *func, int line)
{
    LineCodes &cache = state.line_codes;
    LineCodes::Entry *end = cache.entries + cache.size;
    LineCodes::Entry *it = std::lower_bound(cache.entries, end, line,
                                            [](const LineCodes::Entry &c, int l) { return c.line < l; });
    if (it != end && it->line == line)
        return it->code;
    std::size_t at = static_cast<std::size_t>(it - cache.entries);
    PyObject *pending = PyErr_GetRaisedException();
    if (cache.size == cache.capacity) {
        std::size_t capacity = cache.capacity + 64;
        void *grown = PyMem_RawRealloc(cache.entries, capacity * sizeof(LineCodes::Entry));
        if (!grown) {
            Py_XDECREF(pending);
            PyErr_NoMemory();
            return nullptr;
        }
        cache.entries = static_cast<LineCodes::Entry *>(grown);
        cache.capacity = capacity;
    }
    PyCodeObject *code = PyCode_NewEmpty("updater.py", func, line);
    if (!code) {
        Py_XDECREF(pending);
        return nullptr;
    }
    PyErr_SetRaisedException(pending);
    std::memmove(cache.entries + at + 1, cache.entries + at,
                 (cache.size - at) * sizeof(LineCodes::Entry));
    cache.entries[at] = {line, reinterpret_cast<PyObject *>(code)};
    ++cache.size;
    return reinterpret_cast<PyObject *>(code);
}

}  // namespace

Outcome raise_at(const char *func, int line)
{
    const Outcome raised(true);
    if (!PyErr_Occurred())
        return raised;
    PyObject *code = code_for_line(func, line);
    if (!code)
        return raised;
    PyObject *globals = state.dict ? state.dict : PyEval_GetBuiltins();
    PyFrameObject *frame = PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject *>(code),
                                       globals, nullptr);
    if (!frame)
        return raised;
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
    return raised;
}

// ---------------------------------------------------------------------------
// Globals and calls

Ref global(PyObject *name)
{
    // The state has no dict only after a failed exec step; the builtins remain.
    PyObject *value = state.dict ? PyDict_GetItemWithError(state.dict, name) : nullptr;
    if (value)
        return borrow(value);
    if (PyErr_Occurred())
        PyErr_Clear();
    Ref builtin = getattr(state.builtins, name);
    if (builtin || !PyErr_ExceptionMatches(PyExc_AttributeError))
        return builtin;
    PyErr_Clear();
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

Ref call_kw(PyObject *callable, std::initializer_list<PyObject *> args,
            std::initializer_list<PyObject *> kwnames, std::initializer_list<PyObject *> kwvalues)
{
    constexpr std::size_t max_args = 16;
    std::array<PyObject *, max_args> stack{};
    std::size_t nargs = args.size();
    std::size_t nkw = kwnames.size();
    if (nargs + nkw > max_args || kwvalues.size() != nkw) {
        PyErr_SetString(PyExc_SystemError, "updater: bad keyword call");
        return {};
    }
    std::copy(args.begin(), args.end(), stack.begin());
    std::copy(kwvalues.begin(), kwvalues.end(), stack.begin() + static_cast<std::ptrdiff_t>(nargs));
    Ref names_tuple = steal(PyTuple_New(static_cast<Py_ssize_t>(nkw)));
    if (!names_tuple)
        return {};
    Py_ssize_t i = 0;
    for (PyObject *name : kwnames)
        PyTuple_SET_ITEM(names_tuple.get(), i++, Py_NewRef(name));
    return steal(PyObject_Vectorcall(callable, stack.data(), nargs, names_tuple.get()));
}

Ref call_method(PyObject *obj, PyObject *name, std::initializer_list<PyObject *> args)
{
    constexpr std::size_t max_args = 8;
    std::array<PyObject *, max_args + 1> stack{};
    if (args.size() > max_args) {
        PyErr_SetString(PyExc_SystemError, "updater: too many arguments");
        return {};
    }
    stack[0] = obj;
    std::copy(args.begin(), args.end(), stack.begin() + 1);
    return steal(PyObject_VectorcallMethod(name, stack.data(), args.size() + 1, nullptr));
}

Ref call_tuple(PyObject *callable, PyObject *args)
{
    ternaryfunc slot = Py_TYPE(callable)->tp_call;
    if (!slot) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is not callable", Py_TYPE(callable)->tp_name);
        return {};
    }
    if (Py_EnterRecursiveCall(" while calling a Python object"))
        return {};
    PyObject *result = slot(callable, args, nullptr);
    Py_LeaveRecursiveCall();
    if (!result && !PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "NULL result without error in PyObject_Call");
    return steal(result);
}

Ref join(std::initializer_list<PyObject *> pieces)
{
    Py_ssize_t total = 0;
    Py_UCS4 maxchar = 0;
    for (PyObject *piece : pieces) {
        Py_ssize_t len = PyUnicode_GET_LENGTH(piece);
        if (len > PY_SSIZE_T_MAX - total) {
            PyErr_SetString(PyExc_OverflowError, "join() result is too long for a Python string");
            return {};
        }
        total += len;
        maxchar = std::max(maxchar, PyUnicode_MAX_CHAR_VALUE(piece));
    }
    Ref result = steal(PyUnicode_New(total, maxchar));
    if (!result)
        return {};
    Py_ssize_t at = 0;
    for (PyObject *piece : pieces) {
        Py_ssize_t len = PyUnicode_GET_LENGTH(piece);
        if (PyUnicode_CopyCharacters(result.get(), at, piece, 0, len) < 0)
            return {};
        at += len;
    }
    return result;
}

// ---------------------------------------------------------------------------
// `with` blocks and handlers

namespace {

/// The special method `name` looked up on the type of `obj` and bound to it.
Ref special_method(PyObject *obj, PyObject *name)
{
    PyTypeObject *type = Py_TYPE(obj);
    PyObject *descr = _PyType_Lookup(type, name);
    if (!descr) {
        PyErr_SetObject(PyExc_AttributeError, name);
        return {};
    }
    descrgetfunc get = Py_TYPE(descr)->tp_descr_get;
    if (!get)
        return borrow(descr);
    return steal(get(descr, obj, reinterpret_cast<PyObject *>(type)));
}

}  // namespace

Ref With::enter(PyObject *manager)
{
    Ref exit = special_method(manager, names.dunder_exit);
    if (!exit)
        return {};
    Ref enter = special_method(manager, names.dunder_enter);
    if (!enter)
        return {};
    exit_ = std::move(exit);
    return call(enter.get());
}

int With::exit_ok()
{
    Ref exit = std::move(exit_);
    if (!call_tuple(exit.get(), tuples.none3))
        return -1;
    return 0;
}

int With::exit_error()
{
    Ref exit = std::move(exit_);
    Ref exc = steal(PyErr_GetRaisedException());
    Ref tb = steal(PyException_GetTraceback(exc.get()));
    PyObject *previous = PyErr_GetHandledException();
    PyErr_SetHandledException(exc.get());
    Ref result = call(exit.get(), {reinterpret_cast<PyObject *>(Py_TYPE(exc.get())), exc.get(),
                                   tb ? tb.get() : Py_None});
    PyErr_SetHandledException(previous);
    Py_XDECREF(previous);
    if (!result)
        return -1;
    int suppress = PyObject_IsTrue(result.get());
    if (suppress < 0)
        return -1;
    if (suppress)
        return 1;
    PyErr_SetRaisedException(exc.release());
    return -1;
}

Handler::Handler() : exc_(steal(PyErr_GetRaisedException())), previous_(PyErr_GetHandledException())
{
    PyErr_SetHandledException(exc_.get());
}

Handler::~Handler()
{
    PyErr_SetHandledException(previous_);
    Py_XDECREF(previous_);
}

}  // namespace updater
