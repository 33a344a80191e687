"""PyInstaller's entry point into the hooks of the `updater` extension.

Registered in the package metadata (entry point group "pyinstaller40",
name "hook-dirs"), so that PyInstaller finds hook-updater.py by itself."""
import os


def get_hook_dirs():
    return [os.path.dirname(os.path.abspath(__file__))]
