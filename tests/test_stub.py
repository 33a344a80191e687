"""The type stub updater.pyi against the module it describes: the same public
names, the same parameter lists, and annotations that the values satisfy; and
the installed stubs as type checkers find them."""
import ast
import builtins
import json
import os
import re
import site
import subprocess
import sys
import textwrap
import types

import pytest

import updater
from conftest import MODULE_DIR

SOURCE_STUB = os.path.join(os.path.dirname(__file__), os.pardir, "src", "updater", "updater.pyi")
STUB = os.path.join(MODULE_DIR, "updater.pyi")


@pytest.fixture(scope="module")
def stub():
    with open(STUB, encoding="utf-8") as f:
        return ast.parse(f.read(), STUB)


def public_names(namespace):
    """The names a host sees: the module's own objects, not its imports."""
    return {
        name
        for name, value in namespace.items()
        if not name.startswith("_")
        and not isinstance(value, types.ModuleType)
        and getattr(value, "__module__", "updater") == "updater"
    }


def stub_names(body):
    names = {}
    for node in body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names[node.name] = node
        elif isinstance(node, ast.AnnAssign):
            names[node.target.id] = node
    return names


def parameters(node):
    """The parameter names of a stub def; fails on anything the module has none of."""
    a = node.args
    assert not (a.posonlyargs or a.kwonlyargs or a.vararg or a.kwarg), node.name
    assert not (a.defaults or a.kw_defaults), node.name
    return tuple(arg.arg for arg in a.args)


def runtime_parameters(func):
    code = func.__code__
    return code.co_varnames[: code.co_argcount]


INSTALLED = os.path.realpath(MODULE_DIR) in map(os.path.realpath, site.getsitepackages())


def test_stub_lies_beside_the_module_and_matches_the_source():
    stubs = [STUB]
    if INSTALLED:  # and again as the stub-only package
        stubs.append(os.path.join(MODULE_DIR, "updater-stubs", "__init__.pyi"))
    with open(SOURCE_STUB, "rb") as source:
        text = source.read()
    for path in stubs:
        with open(path, "rb") as installed:
            assert installed.read() == text, path


# Declared for hosts to set; the module body never binds them.
HOST_SET = {"UPDATE_PUBLIC_KEY", "UPDATE_PATCHES"}


def test_module_level_names_and_signatures(stub):
    declared = stub_names(stub.body)
    public = {n for n in declared if not n.startswith("_")}
    assert public - HOST_SET == public_names(vars(updater))
    assert HOST_SET <= public and not HOST_SET & set(vars(updater))
    for name, node in declared.items():
        if name.startswith("_") or name in HOST_SET:
            continue
        value = getattr(updater, name)
        if isinstance(node, ast.FunctionDef):
            assert parameters(node) == runtime_parameters(value), name
        elif isinstance(node, ast.AnnAssign):
            assert isinstance(value, getattr(builtins, ast.unparse(node.annotation))), name


def test_class_names_and_method_signatures(stub):
    (cls,) = [n for n in stub.body if isinstance(n, ast.ClassDef) and n.name == "UpdaterGUI"]
    declared = stub_names(cls.body)
    methods = {n: v for n, v in vars(updater.UpdaterGUI).items() if type(v) is type(updater.get_exe_dir)}
    constants = {
        n for n, v in vars(updater.UpdaterGUI).items() if not n.startswith("__") and n not in methods
    }
    assert {n for n, d in declared.items() if isinstance(d, ast.FunctionDef)} == set(methods)
    for name, func in methods.items():
        assert parameters(declared[name]) == runtime_parameters(func), name
    class_vars = {
        n for n, d in declared.items()
        if isinstance(d, ast.AnnAssign) and ast.unparse(d.annotation).startswith("ClassVar")
    }
    assert class_vars == constants
    for name in class_vars:
        assert isinstance(getattr(updater.UpdaterGUI, name), int)


# A host script as a user would write it, with one deliberate error on its last
# line: `path` may be None there.
HOST = """\
# pyright: strict
import os

import updater


def report(percent: float, speed_kb: float, known_size: bool, downloaded_bytes: int) -> None:
    print(f"{percent:.1f}% {speed_kb:.1f} KB/s" if known_size else f"{downloaded_bytes} bytes")


if not updater.check_for_update():
    raise SystemExit(0)
path = updater.download_new_exe_with_progress(report)
if path is not None:
    updater.replace_and_run(os.fspath(path))
folder: str = updater.get_exe_dir()
size: int = updater.UpdaterGUI.WIDTH * updater.UpdaterGUI.HEIGHT
if updater.TK_AVAILABLE:
    gui = updater.UpdaterGUI()
    gui.speed_lbl.config(text=updater.UPDATE_URL)
updater.UPDATE_PUBLIC_KEY = os.environ.get("LAUNCHER_PUBLIC_KEY")
updater.UPDATE_PATCHES = True
updater.replace_and_run(path)
"""
ERROR_LINE = len(HOST.splitlines())


def checker(args, tmp_path):
    host = tmp_path / "host.py"
    host.write_text(HOST)
    env = dict(os.environ, PYRIGHT_PYTHON_IGNORE_WARNINGS="1")
    env.pop("PYRIGHT_PYTHON_FORCE_VERSION", None)
    return subprocess.run([sys.executable, "-m", *args, str(host)], cwd=tmp_path, env=env,
                          capture_output=True, text=True, timeout=300)


@pytest.mark.skipif(not INSTALLED, reason="checks the stubs installed in site-packages")
def test_type_checkers_find_the_stubs(tmp_path):
    done = checker(["mypy", "--strict", "--no-incremental", "--cache-dir", os.devnull], tmp_path)
    errors = re.findall(r"^host\.py:(\d+): error: .*\[([a-z-]+)\]$", done.stdout, re.M)
    assert (done.returncode, errors) == (1, [(str(ERROR_LINE), "arg-type")]), done.stdout + done.stderr

    done = checker(["pyright", "--outputjson", "--pythonpath", sys.executable], tmp_path)
    report = json.loads(done.stdout)
    errors = [(d["range"]["start"]["line"] + 1, d.get("rule"))
              for d in report["generalDiagnostics"] if d["severity"] == "error"]
    assert (done.returncode, errors) == (1, [(ERROR_LINE, "reportArgumentType")]), done.stdout
