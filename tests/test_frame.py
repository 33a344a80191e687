"""The call frame: argument binding and its messages, the attributes of the
module's function objects, their code objects, traceback entries and the
lookup of module globals."""
import builtins
import copy
import ctypes
import functools
import gc
import os
import pickle
import re
import sys
import traceback
import types
import warnings
import weakref

import pytest

import updater
from conftest import run_child

GUI = updater.UpdaterGUI
D = updater.download_new_exe_with_progress
R = updater.replace_and_run
C = GUI._complete_update
X = updater.get_exe_dir
gui = GUI.__new__(GUI)  # an instance whose __init__ never ran
P = "QuelbaLauncher_new.exe"


class S(str):
    """A str subclass used as a keyword name."""


# function, traceback name, number of parameters, co_varnames
FUNCTIONS = [
    (X, "updater.get_exe_dir", 0, ()),
    (D, "updater.download_new_exe_with_progress", 1,
     ("progress_callback", "exe_dir", "new_path", "req", "resp", "total_size", "downloaded",
      "chunk_size", "start_time", "f", "chunk", "percent", "elapsed", "speed", "e")),
    (R, "updater.replace_and_run", 1, ("new_exe", "exe_dir", "main_exe", "old_exe", "e")),
    (GUI.__init__, "updater.UpdaterGUI.__init__", 1, ("self", "x", "y", "style")),
    (GUI._run_update, "updater.UpdaterGUI._run_update", 1,
     ("self", "progress_callback", "progress_callback", "new_exe")),
    (C, "updater.UpdaterGUI._complete_update", 2, ("self", "new_exe", "e")),
    (GUI._on_close, "updater.UpdaterGUI._on_close", 1, ("self",)),
    (GUI.console_update, "updater.UpdaterGUI.console_update", 1,
     ("self", "progress_callback", "progress_callback", "new_exe", "e")),
    (updater.check_for_update, "updater.check_for_update", 0,
     ("exe_dir", "main_exe", "public_key", "req", "resp", "url", "published", "fields", "hashlib", "f",
      "installed", "signature", "record")),
]
TRACE = {f: name for f, name, _, _ in FUNCTIONS}

_api = ctypes.PyDLL("python api", handle=ctypes.pythonapi._handle)
_vectorcall = _api.PyObject_Vectorcall
_vectorcall.restype = ctypes.py_object
_vectorcall.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p]


def vectorcall(func, args, kwnames=None, kwvalues=()):
    """func(*args) through PyObject_Vectorcall with any kwnames tuple, even one
    that Python code could not build."""
    values = (ctypes.py_object * max(1, len(args) + len(kwvalues)))(*args, *kwvalues)
    names = None if kwnames is None else tuple(kwnames)
    return _vectorcall(func, ctypes.addressof(values), len(args),
                       None if names is None else id(names))


def slot(func, *args, **kwargs):
    """func(*args, **kwargs) through the type's call slot."""
    return type(func).__call__(func, *args, **kwargs)


def expect(exc_type, message, call, *args, **kwargs):
    with pytest.raises(exc_type) as info:
        call(*args, **kwargs)
    assert str(info.value) == message
    return info.value


def entries(exc):
    return traceback.extract_tb(exc.__traceback__)


def module_entries(exc):
    return [(e.name, e.lineno) for e in entries(exc) if e.filename == "updater.py"]


def last_tb(exc):
    tb = exc.__traceback__
    while tb.tb_next:
        tb = tb.tb_next
    return tb


# ---------------------------------------------------------------- binding

BINDING_ERRORS = [
    ("missing", lambda: D(),
     "download_new_exe_with_progress() takes exactly 1 positional argument (0 given)", D),
    ("too-many", lambda: R("a", "b"), "replace_and_run() takes exactly 1 positional argument (2 given)", R),
    ("plural", lambda: gui._complete_update(),
     "_complete_update() takes exactly 2 positional arguments (1 given)", C),
    ("plural-too-many", lambda: gui._complete_update(1, 2),
     "_complete_update() takes exactly 2 positional arguments (3 given)", C),
    ("class-no-instance", lambda: GUI.console_update(),
     "console_update() takes exactly 1 positional argument (0 given)", GUI.console_update),
    ("instance-extra", lambda: gui.console_update(1),
     "console_update() takes exactly 1 positional argument (2 given)", GUI.console_update),
    ("run-update-extra", lambda: gui._run_update(1),
     "_run_update() takes exactly 1 positional argument (2 given)", GUI._run_update),
    ("on-close-class", lambda: GUI._on_close(),
     "_on_close() takes exactly 1 positional argument (0 given)", GUI._on_close),
    ("constructor", lambda: GUI(1), "__init__() takes exactly 1 positional argument (2 given)", GUI.__init__),
    ("type-call", lambda: type.__call__(GUI, 1, 2),
     "__init__() takes exactly 1 positional argument (3 given)", GUI.__init__),
    ("partial", lambda: functools.partial(R, 1)(2),
     "replace_and_run() takes exactly 1 positional argument (2 given)", R),
    ("call-slot", lambda: slot(R), "replace_and_run() takes exactly 1 positional argument (0 given)", R),
    ("call-slot-keywords", lambda: slot(R, 1, 2, new_exe=3),
     "replace_and_run() takes exactly 1 positional argument (2 given)", R),
    ("call-slot-multiple", lambda: slot(C, gui, P, new_exe=P),
     "_complete_update() got multiple values for keyword argument 'new_exe'", C),
    ("count-before-keywords", lambda: R(1, 2, bogus=3),
     "replace_and_run() takes exactly 1 positional argument (2 given)", R),
    ("multiple-values", lambda: gui._complete_update(P, new_exe=P),
     "_complete_update() got multiple values for keyword argument 'new_exe'", C),
    ("multiple-values-self", lambda: C(gui, self=gui),
     "_complete_update() got multiple values for keyword argument 'self'", C),
    ("unexpected", lambda: gui._complete_update(path=P),
     "_complete_update() got an unexpected keyword argument 'path'", C),
    ("first-keyword-first", lambda: R(bogus=1, new_exe=2),
     "replace_and_run() got an unexpected keyword argument 'bogus'", R),
    ("first-keyword-first-2", lambda: gui._complete_update(P, new_exe=P, zzz=1),
     "_complete_update() got multiple values for keyword argument 'new_exe'", C),
    ("unfilled-position-0", lambda: C(new_exe=P),
     "_complete_update() takes exactly 2 positional arguments (0 given)", C),
    ("unfilled-position-1", lambda: C(self=gui),
     "_complete_update() takes exactly 2 positional arguments (1 given)", C),
    ("partial-keyword", lambda: functools.partial(C, new_exe=P)(),
     "_complete_update() takes exactly 2 positional arguments (0 given)", C),
    ("non-ascii", lambda: R(**{"nëw_exe": 1}),
     "replace_and_run() got an unexpected keyword argument 'nëw_exe'", R),
    ("same-length-wider-text", lambda: R(**{"new_exé": 1}),
     "replace_and_run() got an unexpected keyword argument 'new_exé'", R),
    ("str-subclass-unexpected", lambda: R(**{S("bogus"): 1}),
     "replace_and_run() got an unexpected keyword argument 'bogus'", R),
    ("str-subclass-multiple", lambda: R(1, **{S("new_exe"): 1}),
     "replace_and_run() got multiple values for keyword argument 'new_exe'", R),
    ("vectorcall-non-str", lambda: vectorcall(R, (), [1], [2]),
     "replace_and_run() keywords must be strings", R),
    ("vectorcall-non-str-after-positional", lambda: vectorcall(R, (1,), [1], [2]),
     "replace_and_run() keywords must be strings", R),
]


@pytest.mark.parametrize("call, message, func", [row[1:] for row in BINDING_ERRORS],
                         ids=[row[0] for row in BINDING_ERRORS])
def test_binding_error(call, message, func):
    exc = expect(TypeError, message, call)
    # one entry, at the def line
    assert module_entries(exc) == [(TRACE[func], func.__code__.co_firstlineno)]


NO_PARAMETER_ERRORS = [
    (lambda: X(1), "get_exe_dir() takes no arguments (1 given)"),
    (lambda: X(1, 2), "get_exe_dir() takes no arguments (2 given)"),
    (lambda: X(x=1), "get_exe_dir() takes no keyword arguments"),
    (lambda: X(1, x=1), "get_exe_dir() takes no keyword arguments"),
    (lambda: slot(X, 1), "get_exe_dir() takes no arguments (1 given)"),
    (lambda: slot(X, x=1), "get_exe_dir() takes no keyword arguments"),
    (lambda: functools.partial(X, 1)(), "get_exe_dir() takes no arguments (1 given)"),
    (lambda: vectorcall(X, (1,), [1], [2]), "get_exe_dir() takes no keyword arguments"),
]


@pytest.mark.parametrize("call, message", NO_PARAMETER_ERRORS)
def test_no_parameter_errors_add_no_entry(call, message):
    exc = expect(TypeError, message, call)
    assert module_entries(exc) == []


@pytest.mark.parametrize("func", [R, X])
def test_call_slot_rejects_non_str_dict_keys(func):
    expect(TypeError, "keywords must be strings", lambda: func(**{1: 2}))
    expect(TypeError, "keywords must be strings", lambda: type(func).__call__(func, **{1: 2}))


BOUND = [
    ("keyword", lambda: R(new_exe="x"), R),
    ("keyword-equal-text", lambda: R(**{"".join(["new_", "exe"]): "x"}), R),
    ("keyword-str-subclass", lambda: R(**{S("new_exe"): "x"}), R),
    ("empty-kwargs", lambda: R("x", **{}), R),
    ("call-slot-keyword", lambda: slot(R, new_exe="x"), R),
    ("partial-keyword", lambda: functools.partial(R, new_exe="x")(), R),
    ("vectorcall-empty-kwnames", lambda: vectorcall(R, ("x",), []), R),
    ("download-keyword", lambda: D(progress_callback=print), D),
    ("method-through-instance", lambda: gui._on_close(), GUI._on_close),
    ("self-by-keyword", lambda: GUI._on_close(self=gui), GUI._on_close),
    ("descriptor-get", lambda: GUI.__dict__["_on_close"].__get__(gui, GUI)(), GUI._on_close),
]


@pytest.mark.parametrize("call, func", [row[1:] for row in BOUND], ids=[row[0] for row in BOUND])
def test_binding_reaches_the_body(monkeypatch, call, func):
    # Without these globals every body here fails at its first statement.
    monkeypatch.delattr(updater, "get_exe_dir")
    monkeypatch.delattr(updater, "sys")
    with pytest.raises(Exception) as info:
        call()
    assert not isinstance(info.value, TypeError), info.value
    [(name, line)] = module_entries(info.value)
    assert name == TRACE[func] and line > func.__code__.co_firstlineno


def test_methods_through_class_and_instance():
    plain = GUI.__dict__["console_update"]
    assert GUI.console_update is plain
    assert plain.__get__(None, GUI) is plain
    bound = gui.console_update
    assert isinstance(bound, types.MethodType)
    assert bound.__func__ is plain and bound.__self__ is gui
    assert len({type(f) for f, *_ in FUNCTIONS}) == 1
    assert type(X).__name__ == "updater_function"


def test_function_type_cannot_be_instantiated_from_python():
    with pytest.raises(TypeError):
        type(X)()


# ---------------------------------------------------------------- attributes

@pytest.fixture
def func():
    """replace_and_run, with every assignable attribute put back afterwards."""
    f = R
    saved = {a: getattr(f, a) for a in ("__name__", "__qualname__", "__module__", "__doc__")}
    saved_dict = f.__dict__
    yield f
    for attr, value in saved.items():
        setattr(f, attr, value)
    saved_dict.clear()
    f.__dict__ = saved_dict
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        f.__defaults__ = None
        f.__kwdefaults__ = None
    f.__annotations__ = None


def test_name(func):
    assert func.__name__ == func.func_name == "replace_and_run"
    assert sys.intern(func.__name__) is func.__name__
    func.__name__ = "renamed"
    assert func.func_name == "renamed"
    # messages keep the definition's name, the repr the qualified name
    expect(TypeError, "replace_and_run() takes exactly 1 positional argument (0 given)", func)
    assert "renamed" not in repr(func)
    for attr in ("__name__", "func_name"):
        for bad in (1, None, b"x"):
            expect(TypeError, "__name__ must be set to a string object", setattr, func, attr, bad)
        expect(TypeError, "__name__ must be set to a string object", delattr, func, attr)
    assert func.__name__ == "renamed"


def test_qualname(func):
    assert C.__qualname__ == "UpdaterGUI._complete_update"
    assert func.__qualname__ == "replace_and_run"
    func.__qualname__ = "Somewhere.else"
    assert repr(func).startswith("<function Somewhere.else at ")
    assert func.__reduce__() == "Somewhere.else"
    expect(TypeError, "__qualname__ must be set to a string object", setattr, func, "__qualname__", 1)
    expect(TypeError, "__qualname__ must be set to a string object", delattr, func, "__qualname__")
    assert func.__qualname__ == "Somewhere.else"


def test_module_and_doc(func):
    assert func.__module__ == "updater"
    for value in (5, None, "elsewhere"):
        func.__module__ = value
        assert func.__module__ == value
    assert func.__doc__ is None and func.func_doc is None
    func.__doc__ = "text"
    assert func.func_doc == "text"
    func.func_doc = 5
    assert func.__doc__ == 5
    del func.__doc__
    assert func.__doc__ is None
    func.__doc__ = "again"
    del func.func_doc
    assert func.__doc__ is None


def test_dict(func):
    d = func.__dict__
    assert d == {} and func.__dict__ is d and func.func_dict is d
    func.marker = 1
    assert d == {"marker": 1}
    mine = {"a": 2}
    func.__dict__ = mine
    assert func.__dict__ is mine and func.a == 2 and not hasattr(func, "marker")
    func.func_dict = {"b": 3}
    assert func.b == 3
    for attr in ("__dict__", "func_dict"):
        for bad in ([], None, 1):
            expect(TypeError, "setting function's dictionary to a non-dict", setattr, func, attr, bad)
        expect(TypeError, "function's dictionary may not be deleted", delattr, func, attr)
    assert func.__dict__ == {"b": 3}


@pytest.mark.parametrize("attr, value", [
    ("__globals__", vars(updater)), ("func_globals", vars(updater)),
    ("__closure__", None), ("func_closure", None),
    ("__code__", R.__code__), ("func_code", R.__code__),
    ("_is_coroutine", False),
])
def test_read_only(attr, value):
    assert getattr(R, attr) is value
    with pytest.raises(AttributeError):
        setattr(R, attr, value)
    with pytest.raises(AttributeError):
        delattr(R, attr)
    assert getattr(R, attr) is value


def test_defaults_are_stored_but_never_used(func):
    assert func.__defaults__ is None and func.func_defaults is None and func.__kwdefaults__ is None
    for attr, accepted, rejected, message in [
        ("__defaults__", ("x",), ["x"], "__defaults__ must be set to a tuple object"),
        ("func_defaults", ("y",), {}, "__defaults__ must be set to a tuple object"),
        ("__kwdefaults__", {"new_exe": "x"}, (), "__kwdefaults__ must be set to a dict object"),
    ]:
        with pytest.warns(RuntimeWarning) as record:
            setattr(func, attr, accepted)
        assert len(record) == 1
        assert getattr(func, attr) == accepted
        expect(TypeError, "replace_and_run() takes exactly 1 positional argument (0 given)", func)
        with warnings.catch_warnings(record=True) as record:
            warnings.simplefilter("always")
            expect(TypeError, message, setattr, func, attr, rejected)
        assert record == []
        assert getattr(func, attr) == accepted
        with pytest.warns(RuntimeWarning):
            setattr(func, attr, None)
        assert getattr(func, attr) is None


def test_defaults_of_a_function_without_parameters():
    try:
        with pytest.warns(RuntimeWarning):
            X.__defaults__ = (1,)
        expect(TypeError, "get_exe_dir() takes no arguments (1 given)", X, 1)
    finally:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            X.__defaults__ = None


def test_annotations(func):
    a = func.__annotations__
    assert a == {} and func.__annotations__ is a
    mine = {"new_exe": str}
    func.__annotations__ = mine
    assert func.__annotations__ is mine
    expect(TypeError, "__annotations__ must be set to a dict object", setattr, func, "__annotations__", [])
    assert func.__annotations__ is mine
    func.__annotations__ = None
    assert func.__annotations__ == {} and func.__annotations__ is not mine
    func.__annotations__ = mine
    del func.__annotations__
    assert func.__annotations__ == {} and func.__annotations__ is not mine


@pytest.mark.parametrize("f", [row[0] for row in FUNCTIONS], ids=[row[1] for row in FUNCTIONS])
def test_pickled_and_copied_by_qualified_name(f):
    assert f.__reduce__() == f.__qualname__
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(f, protocol)) is f
    assert copy.copy(f) is f and copy.deepcopy(f) is f


def test_repr_and_weakref():
    for f, *_ in FUNCTIONS:
        m = re.fullmatch(r"<function (\S+) at (0x[0-9a-fA-F]+)>", repr(f))
        assert m and m.group(1) == f.__qualname__ and int(m.group(2), 16) == id(f)
        r = weakref.ref(f)
        assert r() is f
    assert set(weakref.WeakSet([X, R])) == {X, R}


def test_gc_sees_everything_a_function_holds(func):
    assert gc.is_tracked(func)
    doc, module = object(), object()
    func.__doc__ = doc
    func.__module__ = module
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        func.__defaults__ = (object(),)
        func.__kwdefaults__ = {}
    held = [doc, module, func.__dict__, func.__annotations__, func.__defaults__,
            func.__kwdefaults__, vars(updater)]
    referents = gc.get_referents(func)
    for obj in held:
        assert any(r is obj for r in referents), obj


# ---------------------------------------------------------------- code objects

@pytest.mark.parametrize("f, trace, nparams, varnames", FUNCTIONS, ids=[row[1] for row in FUNCTIONS])
def test_code_object(f, trace, nparams, varnames):
    code = f.__code__
    assert code.co_varnames == varnames and code.co_nlocals == len(varnames)
    assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount) == (nparams, 0, 0)
    assert code.co_flags == 0x3
    assert code.co_filename == "updater.py"
    assert code.co_name == code.co_qualname == f.__name__
    assert code.co_consts == code.co_names == code.co_freevars == code.co_cellvars == ()
    assert code.co_exceptiontable == b""
    lines = {line for _, _, line in code.co_lines() if line is not None}
    assert lines <= {code.co_firstlineno}


def test_def_lines_are_distinct_and_in_source_order():
    lines = [f.__code__.co_firstlineno for f, *_ in FUNCTIONS]
    assert lines == sorted(set(lines)) and lines[0] > 0


def test_running_a_code_object_does_not_crash_the_interpreter():
    result = run_child("""
        import updater
        for f in (updater.get_exe_dir, updater.replace_and_run, updater.UpdaterGUI.__init__):
            try:
                exec(f.__code__, {})
            except BaseException as e:
                print(type(e).__name__)
            else:
                print("returned")
        print("alive")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.endswith("alive\n")


# ---------------------------------------------------------------- traceback entries

def test_traceback_entry_and_its_code_cache():
    first, second = (expect(TypeError, "replace_and_run() takes exactly 1 positional argument (0 given)", R)
                     for _ in range(2))
    tb = last_tb(first)
    code = tb.tb_frame.f_code
    assert last_tb(second).tb_frame.f_code is code  # one code object per line
    assert code is not R.__code__
    assert (code.co_filename, code.co_name) == ("updater.py", "updater.replace_and_run")
    assert tb.tb_lineno == R.__code__.co_firstlineno
    assert tb.tb_frame.f_globals is vars(updater)
    other = last_tb(expect(TypeError, "_on_close() takes exactly 1 positional argument (0 given)",
                           GUI._on_close)).tb_frame.f_code
    assert other is not code and other.co_name == "updater.UpdaterGUI._on_close"
    text = "".join(traceback.format_exception(first))
    assert f'File "updater.py", line {R.__code__.co_firstlineno}, in updater.replace_and_run' in text


# ---------------------------------------------------------------- globals and get_exe_dir

def module_dir():
    return os.path.abspath(os.path.dirname(updater.__file__))


def test_get_exe_dir_of_a_plain_interpreter():
    assert X() == module_dir()
    assert X(**{}) == module_dir()
    assert vectorcall(X, (), []) == module_dir()


@pytest.mark.parametrize("frozen", [True, 1, "yes", [0]])
def test_get_exe_dir_frozen(monkeypatch, frozen):
    monkeypatch.setattr(updater, "sys", types.SimpleNamespace(frozen=frozen, executable="dist/app/L.exe"))
    monkeypatch.delitem(vars(updater), "__file__")  # never read on this branch
    assert X() == "dist/app"  # as dirname gives it, not made absolute


@pytest.mark.parametrize("namespace", [{"frozen": v} for v in (False, 0, "", None, [])] + [{}],
                         ids=["False", "0", "empty-str", "None", "empty-list", "missing"])
def test_get_exe_dir_not_frozen(monkeypatch, namespace):
    monkeypatch.setattr(updater, "sys", types.SimpleNamespace(executable="/elsewhere/x", **namespace))
    assert X() == module_dir()


def test_get_exe_dir_follows_rebound_globals(monkeypatch, tmp_path):
    monkeypatch.setitem(vars(updater), "__file__", "/srv/app/lib/updater.so")
    assert X() == os.path.abspath("/srv/app/lib")
    monkeypatch.chdir(tmp_path)
    monkeypatch.setitem(vars(updater), "__file__", "updater.so")
    assert X() == os.getcwd()
    monkeypatch.setitem(vars(updater), "__file__", "lib/updater.so")
    assert X() == os.path.join(os.getcwd(), "lib")

    calls = []
    path = types.SimpleNamespace(dirname=lambda p: calls.append(("dirname", p)) or "D",
                                 abspath=lambda p: calls.append(("abspath", p)) or "A")
    monkeypatch.setattr(updater, "os", types.SimpleNamespace(path=path))
    assert X() == "A"
    assert calls == [("dirname", "lib/updater.so"), ("abspath", "D")]
    calls.clear()
    monkeypatch.setattr(updater, "sys", types.SimpleNamespace(frozen=True, executable="E"))
    assert X() == "D" and calls == [("dirname", "E")]


def test_deleted_globals_raise_name_error(monkeypatch):
    monkeypatch.delattr(updater, "sys")
    codes = []
    for _ in range(2):
        exc = expect(NameError, "name 'sys' is not defined", X)
        [(name, line)] = module_entries(exc)
        assert name == "updater.get_exe_dir" and line > X.__code__.co_firstlineno
        codes.append(last_tb(exc).tb_frame.f_code)
    assert codes[0] is codes[1]
    # a builtin of that name stands in for the missing global
    monkeypatch.setattr(builtins, "sys", types.SimpleNamespace(frozen=True, executable="/b/x"), raising=False)
    assert X() == "/b"
    monkeypatch.undo()
    monkeypatch.delitem(vars(updater), "__file__")
    exc = expect(NameError, "name '__file__' is not defined", X)
    assert module_entries(exc)[0][0] == "updater.get_exe_dir"


def test_errors_from_sys_frozen_propagate(monkeypatch):
    class BrokenSys:
        @property
        def frozen(self):
            raise ValueError("no frozen here")

    class BadBool:
        def __bool__(self):
            raise ZeroDivisionError("no truth")

    monkeypatch.setattr(updater, "sys", BrokenSys())
    exc = expect(ValueError, "no frozen here", X)
    assert module_entries(exc)[0][0] == "updater.get_exe_dir"
    monkeypatch.setattr(updater, "sys", types.SimpleNamespace(frozen=BadBool()))
    exc = expect(ZeroDivisionError, "no truth", X)
    assert module_entries(exc)[0][0] == "updater.get_exe_dir"


# ---------------------------------------------------------------- nested functions

def console_callback(monkeypatch):
    """The progress callback that console_update makes, caught by a fake download."""
    seen = []
    monkeypatch.setattr(updater, "download_new_exe_with_progress", seen.append)
    try:
        assert gui.console_update() is None
    except NotImplementedError:
        pytest.skip("console_update is not built yet")
    return seen.pop()


def run_worker(monkeypatch, me):
    """_run_update's progress callback, and the actions posted to a fake root."""
    posted, seen = [], []
    me.root = types.SimpleNamespace(after=lambda ms, action: posted.append(action))
    monkeypatch.setattr(updater, "download_new_exe_with_progress",
                        lambda cb: seen.append(cb) or "new.exe")
    try:
        assert me._run_update() is None
    except NotImplementedError:
        pytest.skip("_run_update is not built yet")
    return seen.pop(), posted


def test_nested_callback_binding(monkeypatch):
    cb = console_callback(monkeypatch)
    assert cb.__name__ == "progress_callback"
    assert cb.__qualname__ == "UpdaterGUI.console_update.<locals>.progress_callback"
    assert cb.__code__.co_varnames == ("percent", "speed_kb", "known_size", "downloaded_bytes")
    line = cb.__code__.co_firstlineno
    trace = "updater.UpdaterGUI.console_update.progress_callback"
    for call, given in [(lambda: cb(1, 2, 3), 3), (lambda: cb(1, 2, 3, 4, 5), 5),
                        (lambda: cb(1, 2, known_size=True), 3), (lambda: cb(1, downloaded_bytes=0), 1),
                        (lambda: cb(speed_kb=1, percent=1, known_size=1), 3)]:
        exc = expect(TypeError, f"progress_callback() takes exactly 4 positional arguments ({given} given)", call)
        assert module_entries(exc) == [(trace, line)]
    expect(TypeError, "progress_callback() got multiple values for keyword argument 'percent'",
           lambda: cb(1, percent=1))


def test_lambdas_are_reported_under_their_own_names(monkeypatch):
    me = GUI.__new__(GUI)
    cb, posted = run_worker(monkeypatch, me)
    ready, complete = posted
    assert cb.__code__.co_varnames == console_callback(monkeypatch).__code__.co_varnames
    assert (ready.__name__, complete.__name__) == ("lambda5", "lambda6")
    assert ready.__qualname__ == "UpdaterGUI._run_update.<locals>.<lambda>"
    assert ready.__code__.co_varnames == ()
    expect(TypeError, "lambda5() takes no arguments (1 given)", ready, 1)
    expect(TypeError, "lambda6() takes no keyword arguments", complete, x=1)
    cb(10, 2.0, True, 100)
    bar, text = posted[2:]
    assert (bar.__name__, text.__name__) == ("lambda2", "lambda3")
    assert bar.__qualname__ == "UpdaterGUI._run_update.<locals>.progress_callback.<locals>.<lambda>"
    # the bar action and the callback statement that posts it fail under their own names
    root = me.root
    for _ in range(2):
        exc = expect(AttributeError, "'UpdaterGUI' object has no attribute 'progress'", bar)
        assert [n for n, _ in module_entries(exc)] == ["updater.UpdaterGUI._run_update.progress_callback.lambda2"]
        del me.root
        exc = expect(AttributeError, "'UpdaterGUI' object has no attribute 'root'", cb, 10, 2.0, True, 100)
        assert [n for n, _ in module_entries(exc)] == ["updater.UpdaterGUI._run_update.progress_callback"]
        me.root = root


def test_cycles_through_functions_are_collected(monkeypatch):
    cb = console_callback(monkeypatch)
    cb.me = cb  # through the function's __dict__
    refs = [weakref.ref(cb)]
    me = GUI.__new__(GUI)
    other, posted = run_worker(monkeypatch, me)
    me.keep = posted  # the instance holds actions whose closure holds it
    refs.append(weakref.ref(me))
    del cb, me, other, posted
    gc.collect()
    assert [r() for r in refs] == [None, None]


def test_nested_functions_release_their_type(monkeypatch):
    function_type = type(updater.get_exe_dir)
    console_callback(monkeypatch)
    before = sys.getrefcount(function_type)
    for _ in range(100):
        console_callback(monkeypatch)
    assert sys.getrefcount(function_type) == before


# ---------------------------------------------------------------- leaks

LEAK_CALLS = [
    lambda a: R(),
    lambda a: R(a, a),
    lambda a: R(a, new_exe=a),
    lambda a: gui._complete_update(a, new_exe=a),
    lambda a: gui._complete_update(path=a),
    lambda a: C(new_exe=a),
    lambda a: C(self=a),
    lambda a: X(a),
    lambda a: X(x=a),
    lambda a: R(**{1: a}),
    lambda a: R(**{S("bogus"): a}),
    lambda a: vectorcall(R, (), [1], [a]),
    lambda a: slot(R, a, a),
    lambda a: slot(C, a, a, new_exe=a),
    lambda a: functools.partial(C, new_exe=a)(),
    lambda a: GUI(a),
]


def test_binding_errors_do_not_leak():
    arg = object()
    codes = {}  # the traceback code objects seen, kept alive so that ids stay unique

    def run(n):
        for _ in range(n):
            for call in LEAK_CALLS:
                try:
                    call(arg)
                except TypeError as e:
                    code = last_tb(e).tb_frame.f_code
                    if code.co_filename == "updater.py":
                        codes[id(code)] = code

    run(100)
    gc.collect()
    blocks, refs = sys.getallocatedblocks(), sys.getrefcount(arg)
    run(2000)
    gc.collect()
    assert sys.getrefcount(arg) == refs
    assert sys.getallocatedblocks() - blocks < 200
    # one traceback code object per def line, however often it fails
    assert sorted(c.co_name for c in codes.values()) == [
        "updater.UpdaterGUI.__init__", "updater.UpdaterGUI._complete_update", "updater.replace_and_run"]


# ---------------------------------------------------------------- with blocks

class _Exit:
    """A callable that is not a descriptor: used as __exit__ it is not bound."""

    def __init__(self):
        self.calls = []

    def __call__(self, *args):
        self.calls.append(args)


class _NoExit:
    def __enter__(self):
        return self


class _NoEnter:
    def __exit__(self, *args):
        pass


@pytest.mark.parametrize("manager, missing", [(_NoExit, "__exit__"), (_NoEnter, "__enter__")])
def test_with_block_needs_both_methods(monkeypatch, manager, missing):
    request = types.SimpleNamespace(Request=lambda url, headers: url,
                                    urlopen=lambda req, timeout: manager())
    monkeypatch.setattr(updater, "urllib", types.SimpleNamespace(request=request))

    def callback(*report):
        raise LookupError(report)

    with pytest.raises(LookupError) as info:
        updater.download_new_exe_with_progress(callback)
    assert info.value.args == ((-1, 0, False, 0),)
    cause = info.value.__context__
    assert type(cause) is AttributeError and cause.args == (missing,)


def test_with_block_exit_is_looked_up_on_the_type(monkeypatch):
    exit_ = _Exit()
    manager = type("Manager", (), {"__enter__": lambda self: self, "__exit__": exit_})
    instance = manager()
    instance.__exit__ = lambda *args: pytest.fail("instance attribute used")
    request = types.SimpleNamespace(Request=lambda url, headers: url,
                                    urlopen=lambda req, timeout: instance)
    monkeypatch.setattr(updater, "urllib", types.SimpleNamespace(request=request))
    reports = []
    assert updater.download_new_exe_with_progress(lambda *r: reports.append(r)) is None
    assert reports == [(-1, 0, False, 0)]
    # the failure inside the block left it through the unbound __exit__, with the exception
    [(kind, value, tb)] = exit_.calls
    assert kind is type(value) and isinstance(value, Exception) and tb is value.__traceback__
