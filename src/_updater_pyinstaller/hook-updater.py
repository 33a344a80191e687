"""PyInstaller hook for the `updater` extension.

The extension imports its modules from C++ as it starts and as it runs, where
PyInstaller's analysis of Python code cannot see them; they are listed here.
The toolkit is optional: it is listed only when the Python that freezes has
it, and a frozen program without it runs the console update."""

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
]

try:
    import _tkinter  # noqa: F401
except ImportError:
    pass
else:
    hiddenimports += ["tkinter", "tkinter.ttk", "tkinter.messagebox"]
