"""Argument binding of every function of the module, fuzzed.

Random positional values, keyword names (known, unknown, repeated, not str,
str subclasses) and call forms (call syntax, **dict, the call slot through
type.__call__, functools.partial, a raw vectorcall with any keyword-name tuple,
bound methods, the class call) are checked against `expected`, a model of the
binding rules and messages kept here.

The bodies never reach the network, the disk or a window: the globals they use
are rebound to stand-ins, and every value passed is a Probe that records what
the body does with it, so that a successful binding also shows which parameter
got which value.
"""
import contextlib
import ctypes
import functools
import gc
import io
import os
import sys
import traceback
import types

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import updater

FUNCTION = type(updater.get_exe_dir)
LOG = []  # (probe tag, what the body did with it)


# ---------------------------------------------------------------------------
# The model

class Bound:
    def __init__(self, values):
        self.values = values  # parameter name -> value


class Error:
    def __init__(self, type_, message, entry):
        self.type, self.message, self.entry = type_, message, entry


def text(key):
    return str.__str__(key)


def names_param(key, param):
    """Whether the keyword `key` names `param`. An exact str compares by text,
    a str subclass by its own ==, which may raise; nothing else matches."""
    if type(key) is str:
        return key == param
    if isinstance(key, str):
        return bool(key == param)
    return False


def find(key, params, start, stop):
    for j in range(start, stop):
        if names_param(key, params[j]):
            return j
    return None


def expected(func, positional, keywords, through_dict):
    """What calling `func` with `positional` values and `keywords` ((name,
    value) pairs, in order) must do: a Bound, or the Error it must raise."""
    name = func.__name__
    params = func.__code__.co_varnames[: func.__code__.co_argcount]
    N, n, k = len(params), len(positional), len(keywords)
    if through_dict and any(not isinstance(key, str) for key, _ in keywords):
        # The interpreter itself refuses to turn such a dict into keywords.
        return Error(TypeError, "keywords must be strings", entry=False)
    if N == 0:
        if k:
            return Error(TypeError, f"{name}() takes no keyword arguments", entry=False)
        if n:
            return Error(TypeError, f"{name}() takes no arguments ({n} given)", entry=False)
        return Bound({})

    def count(given):
        s = "" if N == 1 else "s"
        return Error(TypeError, f"{name}() takes exactly {N} positional argument{s} ({given} given)", True)

    if n != N and (k == 0 or n > N):
        return count(n)
    bound = dict(zip(params, positional))
    for key, value in keywords:
        try:
            j = find(key, params, n, N)
            if j is not None and params[j] not in bound:
                bound[params[j]] = value
                continue
            if j is None and isinstance(key, str):
                j = find(key, params, 0, n)
        except Exception as exc:  # a str subclass whose == raised
            return Error(type(exc), str(exc), entry=True)
        if j is not None:
            return Error(TypeError, f"{name}() got multiple values for keyword argument '{text(key)}'", True)
        if not isinstance(key, str):
            return Error(TypeError, f"{name}() keywords must be strings", True)
        return Error(TypeError, f"{name}() got an unexpected keyword argument '{text(key)}'", True)
    for j, param in enumerate(params):
        if param not in bound:
            return count(j)
    return Bound(bound)


def trace_name(func):
    """The traceback entry name: the qualified name without the <locals>
    steps, ending in the function's own name ("...progress_callback.lambda3")."""
    stem = func.__qualname__.replace(".<locals>", "").rpartition(".")[0]
    return "updater." + (stem + "." if stem else "") + func.__name__


# ---------------------------------------------------------------------------
# Stand-ins for what the bodies reach

class Reached(BaseException):
    """A stand-in ended the body: the binding had succeeded."""


class Boom(Exception):
    pass


class Widget:
    def __init__(self):
        self.posted = []

    def after(self, delay, action):
        self.posted.append(action)

    def config(self, **options):
        pass

    def destroy(self):
        pass


WIDGET = Widget()


class Probe(updater.UpdaterGUI):
    """A value that records what is done with it; also usable as `self`."""

    root = progress = speed_lbl = WIDGET

    def __init__(self, tag):
        object.__setattr__(self, "tag", tag)

    def __getattribute__(self, name):
        if not name.startswith("__") and name != "tag":
            LOG.append((object.__getattribute__(self, "tag"), "attr"))
        return object.__getattribute__(self, name)

    def _record(self, what):
        LOG.append((self.tag, what))

    def __eq__(self, other):
        self._record("eq")
        return False

    __hash__ = object.__hash__

    def __bool__(self):
        self._record("bool")
        return False

    def __floordiv__(self, other):
        self._record("floordiv")
        return 0

    def __format__(self, fmt):
        self._record("format")
        return "F"

    def __call__(self, *args, **kwargs):
        self._record("call")

    def __repr__(self):
        return f"Probe({self.tag})"


class StrSub(str):
    """A str subclass with str's own comparison."""


class EqualsAll(str):
    def __eq__(self, other):
        return True

    __hash__ = str.__hash__


class EqRaises(str):
    def __eq__(self, other):
        raise Boom("compared")

    __hash__ = str.__hash__


class FakeSys:
    @property
    def frozen(self):
        raise Reached

    def exit(self, code=None):
        raise Reached


class Offline(OSError):
    """The network stand-in's error: the download reports it, the check raises it."""


def offline(*args, **kwargs):
    raise Offline("offline")


class FakeOs:
    """os for the swap: a missing launcher, so the first use of new_exe is os.stat(new_exe)."""

    path = os.path
    name = "posix"  # the mode is handed on, from new_exe's own

    @staticmethod
    def stat(path):
        path._record("stat")
        raise Reached


def replace(new_exe):
    new_exe._record("replace")


KEPT = []  # progress callbacks handed to the download stand-in


def download(progress_callback):
    KEPT.append(progress_callback)
    progress_callback(50.0, 1.0, True, 65536)
    return DOWNLOAD_RESULT[0]


DOWNLOAD_RESULT = [None]

ENV = {
    "sys": FakeSys(),
    "get_exe_dir": lambda: "/nonexistent-install-dir",
    "urllib": types.SimpleNamespace(request=types.SimpleNamespace(Request=offline, urlopen=offline)),
    "os": FakeOs,
    "TK_AVAILABLE": False,
    "download_new_exe_with_progress": download,
    "replace_and_run": replace,
    "messagebox": types.SimpleNamespace(showerror=lambda *args: None),
}


@contextlib.contextmanager
def stand_ins():
    module = vars(updater)
    saved = {name: module[name] for name in ENV if name in module}
    module.update(ENV)
    try:
        with contextlib.redirect_stdout(io.StringIO()):
            yield
    finally:
        for name in ENV:
            module.pop(name, None)
        module.update(saved)
        WIDGET.posted.clear()
        KEPT.clear()


# ---------------------------------------------------------------------------
# The functions under test, and what each body shows of its parameters

PLAIN = {
    "get_exe_dir": {},
    "download_new_exe_with_progress": {"progress_callback": "call"},
    "replace_and_run": {"new_exe": "stat"},
    "check_for_update": {},
}
METHODS = {
    "__init__": {"self": "attr"},
    "_run_update": {"self": "attr"},
    "_complete_update": {"self": "attr", "new_exe": "replace"},
    "_on_close": {},
    "console_update": {},
}
CALLBACK_SHOWS = {"percent": "eq", "known_size": "bool"}


def nested_functions():
    """The functions the bodies make at run time: both progress callbacks and
    every action the window's worker posts."""
    found = {}
    with stand_ins():
        updater.UpdaterGUI.console_update(Probe("console"))
        found["console_update.progress_callback"] = KEPT.pop()
        DOWNLOAD_RESULT[0] = "new.exe"
        try:
            updater.UpdaterGUI._run_update(Probe("worker"))
        finally:
            DOWNLOAD_RESULT[0] = None
        callback = found["_run_update.progress_callback"] = KEPT.pop()
        callback(0, 1.0, False, 10)
        callback(-1, 0, False, 0)
        for action in WIDGET.posted:
            found[f"_run_update action {action.__name__}"] = action
    assert all(type(f) is FUNCTION for f in found.values())
    return found


NESTED = nested_functions()
TARGETS = sorted(PLAIN) + [f"UpdaterGUI.{m}" for m in METHODS] + sorted(NESTED)


def target(name):
    """(function, what its body shows of each parameter)."""
    if name in PLAIN:
        return getattr(updater, name), PLAIN[name]
    if name.startswith("UpdaterGUI."):
        method = name.partition(".")[2]
        return vars(updater.UpdaterGUI)[method], METHODS[method]
    shows = {"speed_kb": "format", "downloaded_bytes": "floordiv", **CALLBACK_SHOWS}
    if name == "_run_update.progress_callback":
        shows = dict(CALLBACK_SHOWS)  # its texts are made by the posted actions
    return NESTED[name], shows if name.endswith("progress_callback") else {}


def test_every_function_of_the_module_is_fuzzed():
    methods = {n for n, v in vars(updater.UpdaterGUI).items() if type(v) is FUNCTION}
    plain = {n for n, v in vars(updater).items() if type(v) is FUNCTION}
    assert methods == set(METHODS) and plain == set(PLAIN)
    actions = {f.__name__ for n, f in NESTED.items() if "action" in n}
    assert len(NESTED) == 10 and len(actions) == 8  # two callbacks, eight actions
    assert {f.__code__.co_argcount for f in NESTED.values()} == {0, 4}


# ---------------------------------------------------------------------------
# Calls in every form

_vectorcall = ctypes.pythonapi.PyObject_Vectorcall
_vectorcall.restype = ctypes.py_object
_vectorcall.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object]


def raw_vectorcall(func, positional, keywords, empty_names):
    values = [*positional, *(v for _, v in keywords)]
    stack = (ctypes.py_object * (len(values) + 1))(*values)
    names = tuple(k for k, _ in keywords)
    if not names and not empty_names:
        names = ctypes.py_object()  # NULL
    return _vectorcall(func, stack, len(positional), names)


@functools.lru_cache(maxsize=None)
def syntax_call(names):
    args = "".join(f", {name}=v{i}" for i, name in enumerate(names))
    return compile(f"f(*positional{args})", "<call>", "eval")


def call(form, func, positional, keywords, empty_names):
    if form == "syntax":
        values = {f"v{i}": v for i, (_, v) in enumerate(keywords)}
        code = syntax_call(tuple(k for k, _ in keywords))
        return eval(code, {"f": func, "positional": positional, **values})
    if form == "vectorcall":
        return raw_vectorcall(func, positional, keywords, empty_names)
    kwargs = dict(keywords)
    if form == "star":
        return func(*positional, **kwargs)
    if form == "slot":
        return type(func).__call__(func, *positional, **kwargs)
    if form == "partial keywords":
        return functools.partial(func, *positional, **kwargs)()
    if form == "partial positional":
        return functools.partial(func, *positional)(**kwargs)
    raise AssertionError(form)


DICT_FORMS = ["star", "slot", "partial keywords", "partial positional"]
FORMS = ["syntax", "vectorcall", *DICT_FORMS]

IDENTIFIERS = ["self", "new_exe", "progress_callback", "percent", "speed_kb", "known_size",
               "downloaded_bytes", "path", "x", "Self", "new_exe_", "e"]
NOT_STR = [0, 1.5, b"new_exe", None, ("self",)]


def keyword_names(params):
    known = st.sampled_from(params) if params else st.nothing()
    named = st.sampled_from(IDENTIFIERS) | known
    return st.one_of(
        named,  # interned, as the call syntax passes them
        named.map(lambda s: "".join(list(s))),  # equal text, another object
        named.map(StrSub),
        named.map(EqualsAll),
        named.map(EqRaises),
        st.sampled_from(NOT_STR),
    )


@st.composite
def calls(draw, func):
    params = func.__code__.co_varnames[: func.__code__.co_argcount]
    form = draw(st.sampled_from(FORMS))
    npos = draw(st.integers(0, len(params) + 2))
    if form == "syntax":
        keys = draw(st.lists(st.sampled_from(IDENTIFIERS + list(params)), max_size=len(params) + 2, unique=True))
    else:
        keys = draw(st.lists(keyword_names(params), max_size=len(params) + 2))
    bound_method = "UpdaterGUI." in func.__qualname__ and "<locals>" not in func.__qualname__
    as_method = bound_method and form != "syntax" and draw(st.booleans())
    construct = func.__name__ == "__init__" and not as_method and draw(st.booleans())
    empty_names = draw(st.booleans())
    return form, npos, keys, as_method, construct, empty_names


def pending_entries(exc):
    return [(f.name, f.lineno) for f in traceback.extract_tb(exc.__traceback__) if f.filename == "updater.py"]


@pytest.mark.parametrize("name", TARGETS)
@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=st.data())
def test_binding_matches_the_model(name, data):
    func, shows = target(name)
    form, npos, keys, as_method, construct, empty_names = data.draw(calls(func))
    tags = iter(range(1000))
    positional = [Probe(next(tags)) for _ in range(npos)]
    keywords = [(key, Probe(next(tags))) for key in keys]
    callee, prefix = func, []
    if as_method:
        self = Probe("self")
        callee, prefix = func.__get__(self, Probe), [self]  # as instance.method
    elif construct:
        # UpdaterGUI(...): the class call passes the new instance and a dict
        callee, prefix, form = updater.UpdaterGUI, [object()], "star"
    if form in DICT_FORMS:
        kwargs = {}
        for key, value in keywords:
            with contextlib.suppress(Boom):  # a key equal to one already in
                kwargs[key] = value
        keywords = list(kwargs.items())  # what the dict keeps of them
    want = expected(func, prefix + positional, keywords, form in DICT_FORMS)

    with stand_ins():
        LOG.clear()
        try:
            result = call(form, callee, positional, keywords, empty_names)
            raised = None
        except BaseException as exc:  # noqa: B902 - Reached, SystemExit included
            result, raised = None, exc
        log = list(LOG)

    if isinstance(want, Error):
        assert raised is not None, f"expected {want.message!r}, got {result!r}"
        assert (type(raised), str(raised)) == (want.type, want.message)
        entries = pending_entries(raised)
        assert entries == ([(trace_name(func), func.__code__.co_firstlineno)] if want.entry else [])
        assert log == []  # the body never ran
        return
    assert raised is None or isinstance(raised, (Reached, Offline)), repr(raised)
    for param, what in shows.items():
        value = want.values[param]
        if isinstance(value, Probe):
            assert (value.tag, what) in log, (param, what, log)


# ---------------------------------------------------------------------------
# The binding paths, many times over: nothing they allocate may stay.

def binding_errors():
    f, method = updater.replace_and_run, vars(updater.UpdaterGUI)["_complete_update"]
    keyword = "".join(["new", "_exe"])  # not the interned name
    yield lambda: f()
    yield lambda: f(1, 2)
    yield lambda: f(1, new_exe=2)
    yield lambda: f(**{keyword: 1, "path": 2})
    yield lambda: f(**{StrSub("new_exe"): 1, StrSub("x"): 2})
    yield lambda: raw_vectorcall(f, [], [(1, 2)], False)
    yield lambda: raw_vectorcall(f, [], [("new_exe", 1), ("new_exe", 2)], False)
    yield lambda: raw_vectorcall(f, [], [(EqRaises("x"), 1)], False)
    yield lambda: method(new_exe=1)
    yield lambda: updater.get_exe_dir(1)
    yield lambda: updater.get_exe_dir(x=1)
    yield lambda: type(f).__call__(f, **{1: 2})


def block_growth(run, rounds=3, times=300):
    """The growth of the allocated blocks over each round of `times` runs."""
    run(50)  # warm-up: the traceback code cache, the lookup caches
    growth = []
    for _ in range(rounds):
        gc.collect()
        before = sys.getallocatedblocks()
        run(times)
        gc.collect()
        growth.append(sys.getallocatedblocks() - before)
    return growth


@pytest.mark.no_leakcheck("repeats its own calls and counts the blocks itself")
def test_binding_failures_keep_nothing():
    calls_ = list(binding_errors())

    def run(times):
        for _ in range(times):
            for c in calls_:
                try:
                    c()
                except (TypeError, Boom):
                    pass

    # A leak of one object per call would add 3600 blocks a round.
    growth = block_growth(run)
    assert min(growth) < 50, growth


@pytest.mark.no_leakcheck("repeats its own calls and counts the blocks itself")
def test_bound_calls_keep_nothing():
    """Successful bindings through each form, with bodies that run. Every call
    gets new values, so a reference kept to one of them keeps its block."""
    keyword = "".join(["new", "_exe"])
    complete = vars(updater.UpdaterGUI)["_complete_update"]
    callback = NESTED["console_update.progress_callback"]
    download_ = updater.download_new_exe_with_progress  # the stand-in replaces the global
    calls_ = [
        lambda p, q: complete(p, **{keyword: q}),
        lambda p, q: complete(new_exe=q, self=p),
        lambda p, q: raw_vectorcall(complete, [], [("self", p), ("new_exe", q)], False),
        lambda p, q: complete.__get__(p, Probe)(q),
        lambda p, q: functools.partial(download_, progress_callback=p)(),
        lambda p, q: callback(p, downloaded_bytes=q, known_size=p, speed_kb=q),
    ]

    def run(times):
        for _ in range(times):
            for c in calls_:
                c(Probe("p"), Probe("q"))
        LOG.clear()

    with stand_ins():
        growth = block_growth(run)
    assert min(growth) < 50, growth
