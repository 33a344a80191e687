# Type stub of the native module `updater`: its public names and signatures.
import os
import tkinter as tk
from tkinter import ttk
from typing import Callable, ClassVar, NoReturn

# A progress report: percent (-1 for the failure report), speed in KiB/s,
# whether the size is known, and the bytes received so far.
_ProgressCallback = Callable[[float, float, bool, int], object]

TK_AVAILABLE: bool

UPDATE_URL: str
# Not bound by the module: a host sets it to the publisher's minisign public key to
# install only builds that key signed; absent or None, builds are not checked.
UPDATE_PUBLIC_KEY: str | None
# Not bound by the module: a host sets it true to have each update fetch a patch
# made against the installed launcher, with the full build as the fallback.
UPDATE_PATCHES: bool
MAIN_EXE_NAME: str
TEMP_EXE_NAME: str

BG_DARK: str
BG_CARD: str
ACCENT_PRIMARY: str
ACCENT_SUCCESS: str
TEXT_PRIMARY: str
TEXT_SECONDARY: str
BORDER_COLOR: str

def get_exe_dir() -> str: ...
def download_new_exe_with_progress(progress_callback: _ProgressCallback) -> str | None: ...
def replace_and_run(new_exe: str | os.PathLike[str]) -> None: ...
# True when the build published at UPDATE_URL differs from the installed launcher and
# would be installed; raises when the answer cannot be known (network, HTTP, the file).
def check_for_update() -> bool: ...

class UpdaterGUI:
    WIDTH: ClassVar[int]
    HEIGHT: ClassVar[int]
    # Set by __init__ on the window path only.
    root: tk.Tk
    card: tk.Frame
    title_lbl: tk.Label
    progress: ttk.Progressbar
    speed_lbl: tk.Label
    def __init__(self) -> None: ...
    def _run_update(self) -> None: ...
    def _complete_update(self, new_exe: str | os.PathLike[str]) -> None: ...
    def _on_close(self) -> NoReturn: ...
    def console_update(self) -> None: ...
