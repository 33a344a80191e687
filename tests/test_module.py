"""Registration, initialisation and the module body: what `import updater`
binds, and how the import behaves when its surroundings change. Anything
that depends on the process-wide state runs in a fresh child interpreter."""
import ast
import builtins
import os
import subprocess
import sys
import textwrap
import urllib.error
import urllib.request

import pytest

import updater
from conftest import child_env, find_python, run_child

BODY_NAMES = [
    "sys", "os", "time", "urllib", "HTTPError", "URLError", "threading", "subprocess", "shutil",
    "tk", "ttk", "messagebox", "TK_AVAILABLE", "UPDATE_URL", "MAIN_EXE_NAME", "TEMP_EXE_NAME",
    "BG_DARK", "BG_CARD", "ACCENT_PRIMARY", "ACCENT_SUCCESS", "TEXT_PRIMARY", "TEXT_SECONDARY",
    "BORDER_COLOR", "get_exe_dir", "download_new_exe_with_progress", "replace_and_run",
    "UpdaterGUI", "__test__", "check_for_update",
]
IMPORT_ATTRIBUTES = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__",
                     "__builtins__"}


def result_of(code, *, env=None, executable=None, args=()):
    """Runs `code` in a child that prints one Python literal last; returns it."""
    done = run_child(code, env=env, executable=executable, args=args)
    assert done.returncode == 0, done.stderr
    return ast.literal_eval(done.stdout.strip().splitlines()[-1])


def fake_tkinter(tmp_path, init, **modules):
    """A `tkinter` package under tmp_path, first on the child's path."""
    package = tmp_path / "tkinter"
    package.mkdir()
    (package / "__init__.py").write_text(textwrap.dedent(init))
    for name, text in modules.items():
        (package / f"{name}.py").write_text(textwrap.dedent(text))
    env = child_env()
    env["PYTHONPATH"] = os.pathsep.join([str(tmp_path), env["PYTHONPATH"]])
    return env


# ---------------------------------------------------------------- what the body binds

def test_names_are_bound_in_order():
    keys = result_of("import updater; print(list(vars(updater)))")
    assert keys[-len(BODY_NAMES):] == BODY_NAMES
    assert set(keys[:-len(BODY_NAMES)]) == IMPORT_ATTRIBUTES


def test_import_attributes():
    d = vars(updater)
    assert updater.__name__ == "updater" and updater.__doc__ is None
    assert d["__builtins__"] is builtins
    assert updater.__file__ == updater.__spec__.origin and updater.__loader__ is updater.__spec__.loader
    assert updater.__package__ == "" and "__path__" not in d


def test_standard_modules():
    for name in ("sys", "os", "time", "threading", "subprocess", "shutil"):
        assert getattr(updater, name) is sys.modules[name]
    assert updater.urllib is sys.modules["urllib"] and updater.urllib.request is urllib.request
    assert (updater.HTTPError, updater.URLError) == (urllib.error.HTTPError, urllib.error.URLError)
    # this interpreter has a working toolkit
    assert updater.TK_AVAILABLE is True
    assert updater.tk is sys.modules["tkinter"]
    assert (updater.ttk, updater.messagebox) == (sys.modules["tkinter.ttk"], sys.modules["tkinter.messagebox"])


def test_constants():
    assert updater.UPDATE_URL.startswith("https://")
    assert updater.UPDATE_URL.endswith("/latest/main/QuelbaLauncher.exe")
    assert (updater.MAIN_EXE_NAME, updater.TEMP_EXE_NAME) == ("QuelbaLauncher.exe", "QuelbaLauncher_new.exe")
    colours = {name: getattr(updater, name) for name in BODY_NAMES[16:23]}
    assert colours == {"BG_DARK": "#121212", "BG_CARD": "#1e1e1e", "ACCENT_PRIMARY": "#00bcd4",
                       "ACCENT_SUCCESS": "#4caf50", "TEXT_PRIMARY": "#ffffff",
                       "TEXT_SECONDARY": "#b0b0b0", "BORDER_COLOR": "#333333"}
    assert type(updater.__test__) is dict and updater.__test__ == {}


class Reference:  # the class statement that UpdaterGUI stands for
    WIDTH = 400
    HEIGHT = 200

    def __init__(self): self.root = self.card = self.title_lbl = self.progress = self.speed_lbl = None
    def _run_update(self): pass
    def _complete_update(self, new_exe): pass
    def _on_close(self): pass
    def console_update(self): pass



def test_class():
    cls = updater.UpdaterGUI
    assert list(vars(cls)) == list(vars(Reference))
    # from 3.13 on: the first line of the class statement, and what its methods set on self
    assert getattr(cls, "__static_attributes__", None) == getattr(Reference, "__static_attributes__", None)
    if sys.version_info >= (3, 13):
        lines = [f.__code__.co_firstlineno for f in (updater.replace_and_run, cls.__init__)]
        assert lines[0] < vars(cls)["__firstlineno__"] < lines[1]
    assert type(cls) is type and cls.__bases__ == (object,)
    assert (cls.__name__, cls.__qualname__, cls.__module__, cls.__doc__) == ("UpdaterGUI", "UpdaterGUI", "updater", None)
    assert (cls.WIDTH, cls.HEIGHT) == (400, 200)
    for name in ("__init__", "_run_update", "_complete_update", "_on_close", "console_update"):
        f = vars(cls)[name]
        assert type(f) is type(updater.get_exe_dir)
        assert (f.__qualname__, f.__module__, f.__globals__) == (f"UpdaterGUI.{name}", "updater", vars(updater))
    assert cls.__new__(cls).__dict__ == {}


# ---------------------------------------------------------------- initialisation

def test_reload_changes_nothing():
    changed = result_of("""
        import importlib, updater
        before = dict(vars(updater))
        assert importlib.reload(updater) is updater
        after = vars(updater)
        assert after.keys() == before.keys()
        print([k for k in before if after[k] is not before[k] and after[k] != before[k]]
              + [k for k in before if k not in %r and after[k] is not before[k]])
    """ % (IMPORT_ATTRIBUTES - {"__builtins__"}))
    assert changed == []


# run_in_subinterp(code): the code run in a new interpreter of the legacy kind
# (sharing the GIL), -1 and the error on stderr when it raised. A Windows CPython
# ships no _testcapi; its _xxsubinterpreters (3.12) or _interpreters (3.13) do
# the same.
SUBINTERPRETERS = """
try:
    from _testcapi import run_in_subinterp
except ImportError:
    import re, sys
    try:
        import _interpreters as interpreters
        create = lambda: interpreters.create("legacy")
    except ImportError:
        import _xxsubinterpreters as interpreters
        create = lambda: interpreters.create(isolated=False)

    def run_in_subinterp(code):
        sub = create()
        try:
            failed = interpreters.run_string(sub, code)
            failed = failed and failed.formatted
        except interpreters.RunFailedError as e:  # 3.12: "<class 'ImportError'>: message"
            failed = re.sub(r"^<class '(\\w+)'>", r"\\1", str(e))
        finally:
            interpreters.destroy(sub)
        if failed:
            print(failed, file=sys.stderr)
        return -1 if failed else 0
"""


def test_second_interpreter_is_refused():
    done = run_child(SUBINTERPRETERS + textwrap.dedent("""
        import updater
        print(run_in_subinterp("import updater"))
        print(run_in_subinterp("import updater"))
        print(updater.replace_and_run.__name__)
    """))
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["-1", "-1", "replace_and_run"]
    message = ("ImportError: Interpreter change detected - this module can only be loaded "
               "into one interpreter per process.")
    assert done.stderr.count(message) == 2, done.stderr


def test_create_step_copies_the_spec():
    copied = result_of("""
        import ctypes, importlib.machinery, types
        path = importlib.machinery.PathFinder.find_spec("updater").origin
        lib = ctypes.PyDLL(path)
        lib.PyInit_updater.restype = ctypes.c_void_p
        from_def = ctypes.pythonapi.PyModule_FromDefAndSpec2
        from_def.restype = ctypes.py_object
        from_def.argtypes = [ctypes.c_void_p, ctypes.py_object, ctypes.c_int]
        keys = ("__name__", "__loader__", "__file__", "__package__", "__path__")
        out = []
        for spec in (types.SimpleNamespace(name="a", loader=None, origin="o", parent="p",
                                           submodule_search_locations=None),
                     types.SimpleNamespace(name="b", submodule_search_locations=["s"]),
                     types.SimpleNamespace(name="c")):
            m = from_def(lib.PyInit_updater(), spec, 1013)
            out.append({k: v for k, v in vars(m).items() if k in keys})

        class Broken:
            name = "d"
            @property
            def origin(self):
                raise ValueError("no origin")
        try:
            from_def(lib.PyInit_updater(), Broken(), 1013)
        except ValueError as e:
            out.append(str(e))
        print(out)
    """)
    assert copied == [
        {"__name__": "a", "__loader__": None, "__file__": "o", "__package__": "p"},
        {"__name__": "b", "__loader__": None, "__package__": None, "__path__": ["s"]},
        {"__name__": "c", "__loader__": None, "__package__": None},
        "no origin",
    ]


def test_exec_on_another_module_object():
    outcome = result_of("""
        import importlib.machinery, importlib.util
        path = importlib.machinery.PathFinder.find_spec("updater").origin
        def spec(name):
            return importlib.util.spec_from_loader(name, importlib.machinery.ExtensionFileLoader(name, path))
        early = spec("early.updater")
        other = importlib.util.module_from_spec(early)  # made before the real import
        import updater
        try:
            early.loader.exec_module(other)
            raised = None
        except RuntimeError as e:
            raised = str(e)
        late = spec("late.updater")
        again = importlib.util.module_from_spec(late)
        late.loader.exec_module(again)
        print([other is updater, raised, again is updater, updater.get_exe_dir.__name__])
    """)
    assert outcome == [False, "Module 'updater' has already been imported. Re-initialisation is not supported.",
                       True, "get_exe_dir"]


VERSION_CHECK = """
    import importlib.machinery, importlib.util, sys, warnings
    path = sys.argv[1]
    loader = importlib.machinery.ExtensionFileLoader("updater", path)
    spec = importlib.util.spec_from_loader("updater", loader)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            module = importlib.util.module_from_spec(spec)
            loader.exec_module(module)
            outcome = module.get_exe_dir.__name__
        except BaseException as e:
            outcome = (type(e).__name__, str(e))
    print([outcome, [str(w.message) for w in caught if w.category is RuntimeWarning]])
"""


def build_312_under_newer():
    """A newer interpreter and a 3.12 build of the module to load into it: this
    module's own build under 3.12, else the one that UPDATER_BUILD_312 names."""
    if sys.platform == "win32":
        pytest.skip("a Windows build imports its own python3XY.dll by name: a 3.12 build cannot "
                    "run inside 3.13 there, so it never meets the newer version")
    if sys.version_info[:2] == (3, 12):
        newer, build = find_python("3.13"), updater.__file__
    else:
        newer, build = sys.executable, os.environ.get("UPDATER_BUILD_312")
    if not (newer and build and os.path.exists(build)):
        pytest.skip("needs CPython 3.13 and a 3.12 build (make test PYTHON=3.13 sets UPDATER_BUILD_312)")
    version = subprocess.run([newer, "-c", "import sys; print('%d.%d' % sys.version_info[:2])"],
                             capture_output=True, text=True, check=True).stdout.strip()
    warning = f"compile time Python version 3.12 of module 'updater' does not match runtime version {version}"
    return newer, build, warning


def test_version_warning_under_another_interpreter():
    # a build for the running version does not warn about itself
    assert result_of(VERSION_CHECK, args=[updater.__file__]) == ["get_exe_dir", []]
    newer, build, warning = build_312_under_newer()
    assert result_of(VERSION_CHECK, executable=newer, args=[build]) == ["get_exe_dir", [warning]]


@pytest.mark.parametrize("how", ["filter", "command-line"])
def test_version_warning_as_error(how):
    newer, build, warning = build_312_under_newer()
    code = VERSION_CHECK.replace('warnings.simplefilter("always")',
                                 'warnings.simplefilter("error")' if how == "filter" else "pass")
    done = subprocess.run([newer, *(["-W", "error"] if how == "command-line" else []),
                           "-c", textwrap.dedent(code), build],
                          capture_output=True, text=True, timeout=60, env=child_env())
    assert done.returncode == 0, done.stderr
    assert ast.literal_eval(done.stdout.splitlines()[-1]) == [("RuntimeWarning", warning), []]


def test_missing_builtins():
    outcome = result_of("""
        import builtins, sys, traceback
        saved = builtins.open, builtins.print
        del builtins.open, builtins.print
        out = []
        for restore in ("open", "print", None):
            try:
                import updater
            except NameError as e:
                # walk_tb reads no source lines: linecache needs builtins.open from 3.13 on
                entries = [(f.f_code.co_name, f.f_code.co_filename, line)
                           for f, line in traceback.walk_tb(e.__traceback__)
                           if f.f_code.co_filename == "updater.py"]
                out.append((str(e), entries, "updater" in sys.modules))
            else:
                out.append(updater.get_exe_dir.__name__)
            if restore:
                setattr(builtins, restore, saved[restore == "print"])
        sys.stdout.write(repr(out) + "\\n")
    """)
    assert outcome == [
        ("name 'open' is not defined", [("init updater", "updater.py", 1)], False),
        ("name 'print' is not defined", [("init updater", "updater.py", 1)], False),
        "get_exe_dir",
    ]


@pytest.mark.parametrize("placeholder", [True, False])
def test_sys_modules_entry(placeholder):
    outcome = result_of(f"""
        import importlib.machinery, importlib.util, sys
        spec = importlib.machinery.PathFinder.find_spec("updater")
        marker = object()
        if {placeholder}:
            sys.modules["updater"] = marker
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        print([sys.modules["updater"] is marker, sys.modules["updater"] is module, module.TK_AVAILABLE])
    """)
    assert outcome == ([True, False, True] if placeholder else [False, True, True])


PROBE = """
    import sys, traceback
    try:
        import updater
    except BaseException as e:
        names = [f.name for f in traceback.extract_tb(e.__traceback__) if f.filename == "updater.py"]
        print(("failed", type(e).__name__, names, "updater" in sys.modules))
    else:
        print(("imported", updater.TK_AVAILABLE, [n for n in ("tk", "ttk", "messagebox") if n in vars(updater)],
               getattr(getattr(updater, "tk", None), "fake", None)))
"""


@pytest.mark.parametrize("init, modules, expected", [
    ("raise ImportError('no toolkit')", {}, ("imported", False, [], None)),
    ("raise RuntimeError('broken Tcl')", {}, ("imported", False, [], None)),
    ("fake = True", {"ttk": "raise ImportError('no ttk')", "messagebox": ""},
     ("imported", False, ["tk"], True)),
    ("fake = True", {"ttk": "", "messagebox": "raise ValueError('no box')"},
     ("imported", False, ["tk"], True)),
    ("fake = True", {"ttk": ""}, ("imported", False, ["tk", "ttk"], True)),
    ("fake = True", {"ttk": "", "messagebox": ""}, ("imported", True, ["tk", "ttk", "messagebox"], True)),
    ("raise KeyboardInterrupt", {}, ("failed", "KeyboardInterrupt", ["init updater"], False)),
    ("fake = True", {"ttk": "raise SystemExit(4)"}, ("failed", "SystemExit", ["init updater"], False)),
], ids=["ImportError", "RuntimeError", "ttk-fails", "messagebox-fails", "messagebox-missing", "fake-works",
        "KeyboardInterrupt", "SystemExit"])
def test_toolkit_import(tmp_path, init, modules, expected):
    assert result_of(PROBE, env=fake_tkinter(tmp_path, init, **modules)) == expected


MAIN_RUN = """
    import builtins, ctypes, importlib.machinery, sys, traceback
    path = importlib.machinery.PathFinder.find_spec("updater").origin
    log = []
    module = None
    real_print = builtins.print

    def fake_download(callback):
        log.append(("download", "__test__" in vars(module)))

    def hook(*args, **kwargs):  # the module's print, taken at initialisation
        log.append(args)
        if MODE == "fail":
            raise SystemExit(3)
        vars(module)["download_new_exe_with_progress"] = fake_download

    builtins.print = hook
    lib = ctypes.PyDLL(path)
    lib.PyInit_updater.restype = ctypes.c_void_p
    from_def = ctypes.pythonapi.PyModule_FromDefAndSpec2
    from_def.restype = ctypes.py_object
    from_def.argtypes = [ctypes.c_void_p, ctypes.py_object, ctypes.c_int]
    exec_def = ctypes.pythonapi.PyModule_ExecDef
    exec_def.restype = ctypes.c_int
    exec_def.argtypes = [ctypes.py_object, ctypes.c_void_p]
    mdef = lib.PyInit_updater()
    spec = importlib.machinery.ModuleSpec("__main__", importlib.machinery.ExtensionFileLoader("__main__", path),
                                          origin=path)
    module = from_def(mdef, spec, 1013)
    try:
        exec_def(module, mdef)
        outcome = "ok"
    except BaseException as e:
        outcome = (type(e).__name__, str(e),
                   [f.name for f in traceback.extract_tb(e.__traceback__) if f.filename == "updater.py"])
    builtins.print = real_print
    print([outcome, log, module.__name__, module.UpdaterGUI.__module__, module.TK_AVAILABLE,
           vars(module).get("__test__"), "updater" in sys.modules])
"""


def test_main_module_run(tmp_path):
    env = fake_tkinter(tmp_path, "raise ImportError('no toolkit')")
    outcome = result_of("MODE = 'ok'\n" + textwrap.dedent(MAIN_RUN), env=env)
    assert outcome == [
        "ok",
        [("Tkinter not available, running console update...",), ("download", False)],
        "__main__", "updater", False, {}, True,
    ]


def test_main_module_run_failing(tmp_path):
    env = fake_tkinter(tmp_path, "raise ImportError('no toolkit')")
    outcome = result_of("MODE = 'fail'\n" + textwrap.dedent(MAIN_RUN), env=env)
    assert outcome == [
        ("SystemExit", "3", ["init updater", "updater.UpdaterGUI.__init__", "updater.UpdaterGUI.console_update"]),
        [("Tkinter not available, running console update...",)],
        # a half-built module does not stay importable as "updater"
        "__main__", "updater", False, None, False,
    ]
