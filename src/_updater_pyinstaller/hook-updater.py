"""PyInstaller hook for the `updater` extension.

The extension imports its modules from C++ as it starts and as it runs, where
PyInstaller's analysis of Python code cannot see them; they are listed here.
The toolkit is optional: it is listed only when the Python that freezes has
it, and a frozen program without it runs the console update."""

import sys

hiddenimports = [
    "sys",
    "os",
    "time",
    "urllib.request",
    "urllib.error",
    "threading",
    "subprocess",
    "shutil",
    "hashlib",
    "json",
]

# Patches are applied with zstd: the standard library's from 3.14 on, its
# backport (a dependency of the package) before.
if sys.version_info >= (3, 14):
    hiddenimports.append("compression.zstd")
else:
    hiddenimports.append("backports.zstd")

try:
    import _tkinter  # noqa: F401
except ImportError:
    pass
else:
    hiddenimports += ["tkinter", "tkinter.ttk", "tkinter.messagebox"]
