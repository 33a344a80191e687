// Registration, the process-wide module state and the module body.
#include "frame.hpp"
#include "functions.hpp"
#include "init.hpp"
#include "lines.hpp"

#include <cstdio>
#include <iterator>

namespace updater {

State state;
Names names;
Ints ints;
Tuples tuples;

namespace {

constexpr const char *init_trace = "init updater";

/// Adds the module body's traceback entry for `line`.
Outcome body_error(int line) { return raise_at(init_trace, line); }

/// Every function of the module, in any order: the frame makes the code object
/// of each at the index its spec names.
const FuncSpec *const functions[] = {
    &get_exe_dir_spec,
    &download_spec,
    &replace_and_run_spec,
    &init_spec,
    &run_update_spec,
    &run_progress_spec,
    &run_lambda_specs[0],
    &run_lambda_specs[1],
    &run_lambda_specs[2],
    &run_lambda_specs[3],
    &run_lambda_specs[4],
    &run_lambda5_spec,
    &run_lambda6_spec,
    &complete_update_spec,
    &on_close_spec,
    &console_update_spec,
    &console_progress_spec,
    &run_exit_spec,
    &check_for_update_spec,
};
static_assert(std::size(functions) == code_count, "one function for each code object of Code");

// ---------------------------------------------------------------------------
// Constants

int make_name(PyObject *&slot, const char *text, bool interned)
{
    PyObject *s = interned ? PyUnicode_InternFromString(text) : PyUnicode_FromString(text);
    if (!s || PyObject_Hash(s) == -1) {
        Py_XDECREF(s);
        return -1;
    }
    Py_XSETREF(slot, s);
    return 0;
}

}  // namespace

namespace {

/// One entry of the string table: its slot, its text, and whether it is an
/// identifier (interned) or a text.
struct NameEntry {
    PyObject *Names::*slot;
    const char *text;
    bool interned;
};

constexpr NameEntry name_table[] = {
#define UPDATER_NAME_ID(x) {&Names::x, #x, true},
#define UPDATER_NAME_IDS(x, text) {&Names::x, text, true},
#define UPDATER_NAME_TXT(x, text) {&Names::x, text, false},
    UPDATER_NAMES(UPDATER_NAME_ID, UPDATER_NAME_IDS, UPDATER_NAME_TXT)
#undef UPDATER_NAME_ID
#undef UPDATER_NAME_IDS
#undef UPDATER_NAME_TXT
};

}  // namespace

int init_names()
{
    for (const NameEntry &entry : name_table)
        if (make_name(names.*entry.slot, entry.text, entry.interned) < 0)
            return -1;
    return 0;
}

int init_ints()
{
#define UPDATER_MAKE_INT(x, v)                          \
    {                                                   \
        PyObject *i = PyLong_FromLong(v);               \
        if (!i) return -1;                              \
        Py_XSETREF(ints.x, i);                          \
    }
    UPDATER_INTS(UPDATER_MAKE_INT)
#undef UPDATER_MAKE_INT
    return 0;
}

namespace {

int make_tuple(PyObject *&slot, std::initializer_list<PyObject *> items)
{
    PyObject *t = PyTuple_New(static_cast<Py_ssize_t>(items.size()));
    if (!t)
        return -1;
    Py_ssize_t i = 0;
    for (PyObject *item : items)
        PyTuple_SET_ITEM(t, i++, Py_NewRef(item));
    Py_XSETREF(slot, t);
    return 0;
}

}  // namespace

int init_tuples()
{
    struct Tuple {
        PyObject *Tuples::*slot;
        std::initializer_list<PyObject *> items;
    };
    const Tuple table[] = {
        {&Tuples::content_length_0, {names.content_length, ints.i0}},
        {&Tuples::none3, {Py_None, Py_None, Py_None}},
        {&Tuples::failure_report, {ints.minus1, ints.i0, Py_False, ints.i0}},
        {&Tuples::false_false, {Py_False, Py_False}},
        {&Tuples::title_font, {names.helvetica, ints.i14, names.bold}},
        {&Tuples::pad_10_15, {ints.i10, ints.i15}},
        {&Tuples::pad_0_10, {ints.i0, ints.i10}},
        {&Tuples::status_font, {names.helvetica, ints.i10}},
        {&Tuples::pad_0_5, {ints.i0, ints.i5}},
        {&Tuples::update_failed, {names.update_failed, names.could_not_download}},
        {&Tuples::static_attributes,
         {names.card, names.progress, names.root, names.speed_lbl, names.title_lbl}},
    };
    static_assert(sizeof table / sizeof table[0] * sizeof(PyObject *) == sizeof(Tuples),
                  "one entry for each field of Tuples");
    for (const Tuple &t : table)
        if (make_tuple(tuples.*(t.slot), t.items) < 0)
            return -1;
    return 0;
}

/// Takes `open`, `RuntimeError` and `print` from the builtins module.
int init_cached_builtins()
{
    PyObject **slots[] = {&state.open, &state.RuntimeError, &state.print};
    PyObject *keys[] = {names.open, names.RuntimeError, names.print};
    for (int i = 0; i < 3; ++i) {
        PyObject *value = PyObject_GetAttr(state.builtins, keys[i]);
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError))
                return -1;
            PyErr_Clear();
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", keys[i]);
            return -1;
        }
        Py_XSETREF(*slots[i], value);
    }
    return 0;
}

namespace {

// ---------------------------------------------------------------------------
// Imports and bindings of the module body

int bind(PyObject *name, PyObject *value) { return PyDict_SetItem(state.dict, name, value); }

/// module.__spec__._initializing: whether the module is still being imported.
/// A failure to tell counts as no, and leaves no exception.
bool still_initializing(PyObject *module)
{
    Ref spec = getattr(module, names.dunder_spec);
    if (!spec) {
        PyErr_Clear();
        return false;
    }
    Ref initializing = getattr(spec.get(), names._initializing);
    if (!initializing) {
        PyErr_Clear();
        return false;
    }
    int busy = PyObject_IsTrue(initializing.get());
    if (busy < 0) {
        PyErr_Clear();
        return false;
    }
    return busy != 0;
}

/// `import name`, taking a ready module from sys.modules when there is one.
Ref import_module(PyObject *name)
{
    Ref found = steal(PyImport_GetModule(name));
    if (found && !still_initializing(found.get()))
        return found;
    PyErr_Clear();
    Ref locals = steal(PyDict_New());
    if (!locals)
        return {};
    return steal(PyImport_ImportModuleLevelObject(name, state.dict, locals.get(), nullptr, 0));
}

/// `import name as alias` (alias may equal name); -1 with an exception on failure.
int import_as(PyObject *name, PyObject *alias)
{
    Ref module = import_module(name);
    if (!module)
        return -1;
    return bind(alias, module.get());
}

/// sys.modules.get(f"{module.__name__}.{name}"): a new reference, or nullptr
/// (with or without an exception set).
Ref submodule(PyObject *module, PyObject *name)
{
    Ref package = getattr(module, names.dunder_name);
    if (!package)
        return {};
    Ref full = join({package.get(), names.dot, name});
    if (!full)
        return {};
    return steal(PyImport_GetModule(full.get()));
}

/// `from module import a, b`: binds each name as soon as it is read.
int import_from(PyObject *module_name, std::initializer_list<PyObject *> from)
{
    Ref fromlist = steal(PyList_New(0));
    Ref locals = steal(PyDict_New());
    if (!fromlist || !locals)
        return -1;
    for (PyObject *name : from)
        if (PyList_Append(fromlist.get(), name) < 0)
            return -1;
    Ref module = steal(PyImport_ImportModuleLevelObject(module_name, state.dict, locals.get(),
                                                        fromlist.get(), 0));
    if (!module)
        return -1;
    for (PyObject *name : from) {
        Ref value = getattr(module.get(), name);
        if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            value = submodule(module.get(), name);
        }
        if (!value) {
            PyErr_Clear();
            PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
            return -1;
        }
        if (bind(name, value.get()) < 0)
            return -1;
    }
    return 0;
}

/// `def name(...)`: binds a new function object in `target`.
int define(PyObject *target, PyObject *name, const FuncSpec &spec)
{
    Ref func = new_function(spec, nullptr);
    if (!func)
        return -1;
    return PyObject_SetItem(target, name, func.get());
}

/// `class UpdaterGUI:` with its constants and five methods.
Outcome define_class()
{
    Ref ns = steal(PyDict_New());
    if (!ns)
        return body_error(line::body::class_updater_gui);
    if (PyObject_SetItem(ns.get(), names.dunder_module, names.updater) < 0 ||
        PyObject_SetItem(ns.get(), names.dunder_qualname, names.UpdaterGUI) < 0)
        return body_error(line::body::class_updater_gui);
    // Since 3.13 the class statement also records its first line, and at the end
    // of the body the attributes that its methods assign on self.
    bool records_origin = Py_Version >= 0x030d0000;
    if (records_origin) {
        Ref first_line = steal(PyLong_FromLong(line::body::class_updater_gui));
        if (!first_line ||
            PyObject_SetItem(ns.get(), names.dunder_firstlineno, first_line.get()) < 0)
            return body_error(line::body::class_updater_gui);
    }
    if (PyObject_SetItem(ns.get(), names.WIDTH, ints.i400) < 0)
        return body_error(line::body::width);
    if (PyObject_SetItem(ns.get(), names.HEIGHT, ints.i200) < 0)
        return body_error(line::body::height);
    struct Method {
        PyObject *name;
        const FuncSpec &def;
    };
    const Method methods[] = {
        {names.dunder_init, init_spec},
        {names._run_update, run_update_spec},
        {names._complete_update, complete_update_spec},
        {names._on_close, on_close_spec},
        {names.console_update, console_update_spec},
    };
    for (const Method &m : methods)
        if (define(ns.get(), m.name, m.def) < 0)
            return body_error(m.def.def_line);
    if (records_origin &&
        PyObject_SetItem(ns.get(), names.dunder_static_attributes, tuples.static_attributes) < 0)
        return body_error(line::body::class_updater_gui);
    Ref cls = call(reinterpret_cast<PyObject *>(&PyType_Type),
                   {names.UpdaterGUI, state.empty_tuple, ns.get()});
    if (!cls || bind(names.UpdaterGUI, cls.get()) < 0)
        return body_error(line::body::class_updater_gui);
    return Outcome::ok();
}

/// `if __name__ == "__main__": UpdaterGUI()`
Outcome run_entry_point()
{
    Ref name = global(names.dunder_name);
    if (!name)
        return body_error(line::body::if_main);
    int is_main;
    if (PyUnicode_Check(name.get()))
        is_main = PyUnicode_Compare(name.get(), names.dunder_main) == 0;
    else
        is_main = PyObject_RichCompareBool(name.get(), names.dunder_main, Py_EQ);
    if (is_main < 0)
        return body_error(line::body::if_main);
    if (!is_main)
        return Outcome::ok();
    Ref cls = global(names.UpdaterGUI);
    if (!cls)
        return body_error(line::body::call_updater_gui);
    Ref gui = call(cls.get());
    if (!gui)
        return body_error(line::body::call_updater_gui);
    return Outcome::ok();
}

/// The statements of the module body, in order.
Outcome run_body()
{
    using namespace line::body;
    struct Import {
        PyObject *name;
        int line;
    };
    // import sys / os / time
    for (Import i : {Import{names.sys, import_sys}, Import{names.os, import_os},
                     Import{names.time, import_time}})
        if (import_as(i.name, i.name) < 0)
            return body_error(i.line);
    // import urllib.request
    {
        Ref locals = steal(PyDict_New());
        if (!locals)
            return body_error(import_urllib_request);
        Ref top = steal(PyImport_ImportModuleLevelObject(names.urllib_request, state.dict,
                                                         locals.get(), nullptr, 0));
        if (!top || bind(names.urllib, top.get()) < 0)
            return body_error(import_urllib_request);
    }
    // from urllib.error import HTTPError, URLError
    if (import_from(names.urllib_error, {names.HTTPError, names.URLError}) < 0)
        return body_error(from_urllib_error);
    // import threading / subprocess / shutil
    for (Import i : {Import{names.threading, import_threading},
                     Import{names.subprocess, import_subprocess},
                     Import{names.shutil, import_shutil}})
        if (import_as(i.name, i.name) < 0)
            return body_error(i.line);

    // try: import tkinter as tk; from tkinter import ttk, messagebox; TK_AVAILABLE = True
    int line = import_tkinter;
    int ok = import_as(names.tkinter, names.tk);
    if (ok == 0) {
        line = from_tkinter;
        ok = import_from(names.tkinter, {names.ttk, names.messagebox});
    }
    if (ok == 0) {
        line = tk_available_true;
        ok = bind(names.TK_AVAILABLE, Py_True);
    }
    if (ok < 0) {
        // except Exception: TK_AVAILABLE = False
        if (!pending_matches(PyExc_Exception))
            return body_error(line);
        PyErr_Clear();
        if (bind(names.TK_AVAILABLE, Py_False) < 0)
            return body_error(tk_available_false);
    }

    struct Constant {
        PyObject *name;
        PyObject *value;
        int line;
    };
    const Constant constants[] = {
        {names.UPDATE_URL, names.url, update_url},
        {names.MAIN_EXE_NAME, names.main_exe_name, main_exe_name},
        {names.TEMP_EXE_NAME, names.temp_exe_name, temp_exe_name},
        {names.BG_DARK, names.c_bg_dark, bg_dark},
        {names.BG_CARD, names.c_bg_card, bg_dark + 1},
        {names.ACCENT_PRIMARY, names.c_accent_primary, bg_dark + 2},
        {names.ACCENT_SUCCESS, names.c_accent_success, bg_dark + 3},
        {names.TEXT_PRIMARY, names.c_text_primary, bg_dark + 4},
        {names.TEXT_SECONDARY, names.c_text_secondary, bg_dark + 5},
        {names.BORDER_COLOR, names.c_border, bg_dark + 6},
    };
    for (const Constant &c : constants)
        if (bind(c.name, c.value) < 0)
            return body_error(c.line);

    // def get_exe_dir / download_new_exe_with_progress / replace_and_run
    for (const FuncSpec *spec : {&get_exe_dir_spec, &download_spec, &replace_and_run_spec})
        if (define(state.dict, names.*(spec->qualname), *spec) < 0)
            return body_error(spec->def_line);
    if (Outcome r = define_class(); r.raised())
        return r;
    if (Outcome r = run_entry_point(); r.raised())
        return r;
    // __test__ = {}
    Ref test = steal(PyDict_New());
    if (!test || bind(names.dunder_test, test.get()) < 0)
        return body_error(test_dict);
    // def check_for_update
    if (define(state.dict, names.check_for_update, check_for_update_spec) < 0)
        return body_error(def_check_for_update);
    return Outcome::ok();
}

// ---------------------------------------------------------------------------
// The create and exec steps

int copy_spec_attribute(PyObject *spec, PyObject *module, const char *from, const char *to,
                        bool copy_none)
{
    PyObject *value = PyObject_GetAttrString(spec, from);
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return -1;
        PyErr_Clear();
        return 0;
    }
    Ref owned = steal(value);
    if (value == Py_None && !copy_none)
        return 0;
    return PyObject_SetAttrString(module, to, value);
}

PyObject *module_create(PyObject *spec, PyModuleDef *) noexcept
{
    int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1)
        return nullptr;
    if (state.interpreter_id == -1) {
        state.interpreter_id = id;
    } else if (state.interpreter_id != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (state.module)
        return Py_NewRef(state.module);
    Ref name = steal(PyObject_GetAttrString(spec, "name"));
    if (!name)
        return nullptr;
    Ref module = steal(PyModule_NewObject(name.get()));
    if (!module)
        return nullptr;
    if (copy_spec_attribute(spec, module.get(), "loader", "__loader__", true) < 0 ||
        copy_spec_attribute(spec, module.get(), "origin", "__file__", true) < 0 ||
        copy_spec_attribute(spec, module.get(), "parent", "__package__", true) < 0 ||
        copy_spec_attribute(spec, module.get(), "submodule_search_locations", "__path__",
                            false) < 0)
        return nullptr;
    return module.release();
}

/// Issues the RuntimeWarning when the running interpreter is not the version
/// that the module was built for (major and minor number).
int check_version()
{
    int major = static_cast<int>((Py_Version >> 24) & 0xff);
    int minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION)
        return 0;
    char message[200];
    PyOS_snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, "updater", "does not match", major, minor);
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1);
}

/// The exec step up to the string and integer constants, before any traceback
/// entry can be made: 0, or -1 with an exception set.
int prepare_state(PyObject *module)
{
    state.module = Py_NewRef(module);
    PyObject *dict = PyModule_GetDict(module);
    if (!dict)
        return -1;
    state.dict = Py_NewRef(dict);
    PyObject *builtins = PyImport_AddModule("builtins");
    if (!builtins)
        return -1;
    Py_XSETREF(state.builtins, Py_NewRef(builtins));
    if (PyObject_SetAttrString(module, "__builtins__", builtins) < 0)
        return -1;
    if (check_version() < 0)
        return -1;
    Py_XSETREF(state.empty_tuple, PyTuple_New(0));
    Py_XSETREF(state.empty_bytes, PyBytes_FromStringAndSize(nullptr, 0));
    Py_XSETREF(state.empty_str, PyUnicode_New(0, 0));
    if (!state.empty_tuple || !state.empty_bytes || !state.empty_str)
        return -1;
    if (init_names() < 0 || init_ints() < 0)
        return -1;
    return 0;
}

/// The rest of the exec step, where every failure carries the module's
/// traceback entry. `registered` tells whether it put the module into sys.modules.
Outcome finish_state_and_run(PyObject *module, bool &registered)
{
    if (init_function_type() < 0)
        return body_error(line::body::start);
    PyObject *modules = PyImport_GetModuleDict();
    int present = PyDict_Contains(modules, names.updater);
    if (present < 0 || (!present && PyDict_SetItem(modules, names.updater, module) < 0))
        return body_error(line::body::start);
    registered = !present;
    if (init_cached_builtins() < 0 || init_tuples() < 0 || init_code_objects(functions) < 0 ||
        init_scope_types() < 0)
        return body_error(line::body::start);
    return run_body();
}

int module_exec(PyObject *module) noexcept
{
    if (state.module) {
        if (state.module == module)
            return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'updater' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    bool registered = false;
    if (prepare_state(module) == 0 && !finish_state_and_run(module, registered).raised())
        return 0;
    // A half-built module must not stay importable under our name.
    if (registered) {
        ErrorScope keep;
        PyObject *modules = PyImport_GetModuleDict();
        if (PyDict_GetItemWithError(modules, names.updater) == module)
            PyDict_DelItem(modules, names.updater);
    }
    Py_CLEAR(state.dict);
    Py_CLEAR(state.module);
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(module_create)},
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "updater",
    nullptr,
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace updater

PyMODINIT_FUNC PyInit_updater(void) { return PyModuleDef_Init(&updater::module_def); }
