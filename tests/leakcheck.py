"""A leak check around every in-process test; conftest.py imports its hooks.

Each test runs once and is reported as usual. If it passed, its whole protocol
(function-scoped setup, call, teardown) runs again, up to MAX_REPEATS times,
and the total of allocated memory blocks (sys.getallocatedblocks()) is taken
before and after each repeat. The test fails when the total grew in so many
repeats that it cannot be flat: a body that leaks even one object per run grows
every time, while one-off caches settle after the first runs. The first run is
the warm-up: imports, interned names and the module's traceback code cache are
made there.

Not repeated:
  - tests marked @pytest.mark.no_leakcheck (the marker's reason says why);
  - tests that started a child interpreter: the module ran in that child, and
    what this process allocated belongs to the subprocess machinery;
  - hypothesis tests, which run their body many times already (test_fuzz_binding
    checks the binding paths in loops of its own);
  - every test when UPDATER_LEAKCHECK=0, or when the interpreter counts no
    blocks (PYTHONMALLOC=malloc, as under the sanitizers). The suite under
    Wine (tools/windows test) runs with UPDATER_LEAKCHECK=0 unless it is set.

Between runs, the containers held by shared (module- or session-scoped) fixture
values are put back as they were, so that a shared server's request log or
route table does not count as a leak, and the regular-expression and line
caches are emptied.
"""
import fnmatch
import gc
import linecache
import os
import re
import shutil
import sys
import threading
import tracemalloc
import urllib.parse

import pytest
from _pytest.runner import CallInfo, runtestprotocol

__all__ = ["pytest_configure", "pytest_runtest_protocol", "pytest_terminal_summary"]

MAX_REPEATS = 6
FLAT_RUNS_TO_PASS = 2
THREAD_GRACE = 2.0  # seconds to wait for each thread a repeat left behind
WARMUP_GRACE = 0.5  # the same after the first run, which may start a shared server

_python = {os.path.realpath(p) for p in (sys.executable, getattr(sys, "_base_executable", "")) if p}
_children = []  # executables started by the first run of the current test
_watching = [False]
_counts = {"checked": 0, "marker": 0, "child interpreter": 0, "hypothesis": 0, "threads": 0}


def _audit(event, args):
    if event == "subprocess.Popen" and _watching[0]:
        executable, argv = args[0], args[1]
        if executable is None and argv:
            executable = argv if isinstance(argv, (str, bytes, os.PathLike)) else argv[0]
            if os.name == "nt" and isinstance(executable, str) and executable is argv:
                executable = _program(argv)
        _children.append(executable)


def _program(command_line):
    """The program of a Windows command line (what Popen made of its list)."""
    if command_line.startswith('"'):
        return command_line[1:].partition('"')[0]
    return command_line.partition(" ")[0]


def _started_python():
    for executable in _children:
        try:
            if os.path.realpath(os.fsdecode(executable)) in _python:
                return True
        except (TypeError, ValueError):
            continue
    return False


def pytest_configure(config):
    config.addinivalue_line(
        "markers",
        "no_leakcheck(reason): run the test once only, without the repeated-run leak check",
    )
    if not getattr(pytest_configure, "hooked", False):
        sys.addaudithook(_audit)
        pytest_configure.hooked = True


def _enabled():
    return os.environ.get("UPDATER_LEAKCHECK", "1") != "0" and sys.getallocatedblocks() > 0


class _Shared:
    """What outlives one run of a test, restorable to one state: the
    containers of the shared fixture values, and the exception objects among
    the test's parameters (raising one again chains each run's traceback onto
    it). A shared fixture's own finalizer list counts too: pytest appends to
    it, for every test, the teardown of each function-scoped fixture that
    depends on it (tmp_path on tmp_path_factory), done long before."""

    def __init__(self, item):
        self.saved = []
        self.temp_dirs = _TempDirs(item.config)
        for defs in item._fixtureinfo.name2fixturedefs.values():
            fixturedef = defs[-1]
            if fixturedef.scope == "function" or not fixturedef.cached_result:
                continue
            self.saved.append((fixturedef._finalizers, list(fixturedef._finalizers)))
            value = fixturedef.cached_result[0]
            for attr in getattr(value, "__dict__", {}).values():
                if isinstance(attr, list):
                    self.saved.append((attr, list(attr)))
                elif isinstance(attr, (dict, set)):
                    self.saved.append((attr, attr.copy()))
        self.exceptions = []
        params = item.callspec.params if hasattr(item, "callspec") else {}
        for value in params.values():
            if isinstance(value, BaseException):
                self.exceptions.append((value, [getattr(value, a) for a in self.EXC_ATTRS]))

    EXC_ATTRS = ("__traceback__", "__context__", "__cause__", "__suppress_context__")

    def restore(self):
        for container, content in self.saved:
            if isinstance(container, list):
                container[:] = content
            else:
                container.clear()
                container.update(content)
        for exc, values in self.exceptions:
            for attr, value in zip(self.EXC_ATTRS, values):
                setattr(exc, attr, value)


class _TempDirs:
    """Removes the temporary directories a repeat made, so that the next one
    gets the same names: pathlib interns every path component for good."""

    def __init__(self, config):
        factory = getattr(config, "_tmp_path_factory", None)
        self.base = factory.getbasetemp() if factory is not None else None
        self.before = self._entries()

    def _entries(self):
        return set(os.listdir(self.base)) if self.base is not None else set()

    def remove_new(self):
        for name in self._entries() - self.before:
            shutil.rmtree(os.path.join(self.base, name), ignore_errors=True)


def _join_new(threads_before, grace):
    """Waits for the threads started since `threads_before`; False when one
    of them is still alive."""
    quiet = True
    for thread in threading.enumerate():
        if thread not in threads_before:
            thread.join(grace)
            quiet = quiet and not thread.is_alive()
    return quiet


def _settle(shared, threads_before):
    """Lets the run's threads end and frees what can be freed; False when a
    thread the run started is still alive."""
    quiet = _join_new(threads_before, THREAD_GRACE)
    shared.restore()
    shared.temp_dirs.remove_new()
    re.purge()
    urllib.parse.clear_cache()
    fnmatch._compile_pattern.cache_clear()
    linecache.clearcache()
    sys._clear_type_cache()  # its entries hold the attribute names last looked up
    for _ in range(3):
        gc.collect()
    return quiet


def _skip_reason(item):
    marker = item.get_closest_marker("no_leakcheck")
    if marker is not None:
        return "marker"
    if getattr(getattr(item, "obj", None), "is_hypothesis_test", False):
        return "hypothesis"
    return None


@pytest.hookimpl(tryfirst=True)
def pytest_runtest_protocol(item, nextitem):
    if not _enabled() or not isinstance(item, pytest.Function):
        return None
    reason = _skip_reason(item)
    if reason:
        _counts[reason] += 1
        return None

    item.ihook.pytest_runtest_logstart(nodeid=item.nodeid, location=item.location)
    # Function-scoped teardown only: the shared fixtures stay up for the repeats.
    keep_parent = item.parent
    del _children[:]
    threads = set(threading.enumerate())
    _watching[0] = True
    try:
        reports = runtestprotocol(item, nextitem=keep_parent, log=False)
    finally:
        _watching[0] = False
    verdict = None
    if all(r.passed for r in reports):
        if _started_python():
            _counts["child interpreter"] += 1
        else:
            _join_new(threads, WARMUP_GRACE)
            verdict = _repeat(item, keep_parent)
    # Now the shared fixtures that the next test does not use.
    final = CallInfo.from_call(
        lambda: item.session._setupstate.teardown_exact(nextitem), when="teardown"
    )
    final = item.ihook.pytest_runtest_makereport(item=item, call=final)
    for report in reports:
        if report.when == "call" and verdict:
            report.outcome = "failed"
            report.longrepr = verdict
        if report.when == "teardown" and not final.passed:
            report = final
        item.ihook.pytest_runtest_logreport(report=report)
    item.ihook.pytest_runtest_logfinish(nodeid=item.nodeid, location=item.location)
    return True


def _repeat(item, keep_parent):
    """Runs the test again until its block count is flat; None, or the failure text."""
    ignore = pytest.mark.filterwarnings("ignore").mark
    item.own_markers.append(ignore)  # recorded warnings would pile up in pytest
    shared = _Shared(item)
    deltas = []
    try:
        threads = set(threading.enumerate())  # shared servers' threads included
        _settle(shared, threads)
        # What exists now is left out of the collections to come, which then
        # look at what the repeats made only.
        gc.freeze()
        for _ in range(MAX_REPEATS):
            item._report_sections.clear()
            before = sys.getallocatedblocks()
            reports = runtestprotocol(item, nextitem=keep_parent, log=False)
            failed = [r for r in reports if not r.passed]
            if failed:
                return (
                    f"passed once but failed when run again (run {len(deltas) + 2}); mark it "
                    f"no_leakcheck if it cannot be repeated:\n{failed[0].longreprtext}"
                )
            item._report_sections.clear()
            if not _settle(shared, threads):
                _counts["threads"] += 1
                return None
            deltas.append(sys.getallocatedblocks() - before)
            flat = sum(d <= 0 for d in deltas)
            if flat >= FLAT_RUNS_TO_PASS:
                _counts["checked"] += 1
                return None
            if len(deltas) - flat > MAX_REPEATS - FLAT_RUNS_TO_PASS:
                break
        _counts["checked"] += 1
        return (
            f"leak: allocated blocks grew in {len(deltas) - flat} of {len(deltas)} repeated "
            f"runs; growth per run: {deltas}\n" + _growth_sites(item, keep_parent, shared, threads)
        )
    finally:
        gc.unfreeze()
        item.own_markers.remove(ignore)


def _growth_sites(item, keep_parent, shared, threads, top=5):
    """Where the blocks that one more run keeps were allocated (tracemalloc)."""
    tracemalloc.start(30)
    try:
        snapshots = []
        for _ in range(8):
            runtestprotocol(item, nextitem=keep_parent, log=False)
            item._report_sections.clear()
            _settle(shared, threads)
            snapshots.append(tracemalloc.take_snapshot())
    finally:
        tracemalloc.stop()
    ours = [tracemalloc.Filter(False, tracemalloc.__file__), tracemalloc.Filter(False, __file__)]
    first, last = (s.filter_traces(ours) for s in (snapshots[1], snapshots[-1]))
    lines = [f"allocated in the last {len(snapshots) - 2} runs and still held:"]
    grown = sorted(last.compare_to(first, "traceback"), key=lambda stat: -stat.count_diff)
    for stat in grown[:top]:
        if stat.count_diff <= 0:
            break
        lines.append(f"  {stat.count_diff:+d} blocks, {stat.size_diff:+d} bytes, at:")
        lines.extend("    " + line for line in stat.traceback.format(most_recent_first=True)[:16])
    return "\n".join(lines)


def pytest_terminal_summary(terminalreporter):
    if not _enabled():
        terminalreporter.write_line("leakcheck: off (UPDATER_LEAKCHECK=0 or no block count)")
        return
    c = _counts
    terminalreporter.write_line(
        f"leakcheck: {c['checked']} tests repeated and checked; run once: "
        f"{c['child interpreter']} child interpreter, {c['marker']} marked, "
        f"{c['hypothesis']} hypothesis, {c['threads']} threads still running"
    )
