"""The demo's launcher, old build: run_demo.py freezes it with PyInstaller and
installs the one-file executable as QuelbaLauncher.exe. Started, it runs one
update, as the shipped launcher does when a new build is out.

    QuelbaLauncher.exe UPDATE_URL [--console]

The frozen program's sys.frozen and sys.executable are its own; the release
server's CA is trusted through SSL_CERT_FILE in the environment.
"""
import os
import sys

import updater


def main():
    url = sys.argv[1]
    console = "--console" in sys.argv[2:]
    print(f"launcher: old build started (pid {os.getpid()}), frozen: {getattr(sys, 'frozen', False)}",
          flush=True)
    updater.UPDATE_URL = url
    if console:
        updater.TK_AVAILABLE = False
    print(f"launcher: install directory {updater.get_exe_dir()}", flush=True)
    updater.UpdaterGUI()
    print("launcher: UpdaterGUI() returned", flush=True)


if __name__ == "__main__":
    main()
