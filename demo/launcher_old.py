"""The demo's launcher, old build: run_demo.py freezes it with PyInstaller and
installs the one-file executable as QuelbaLauncher.exe. Started, it runs one
update, as the shipped launcher does when a new build is out.

    QuelbaLauncher.exe UPDATE_URL [--console] [--public-key KEY]

The frozen program's sys.frozen and sys.executable are its own; the release
server's CA is trusted through SSL_CERT_FILE in the environment. It asks for a
patch against its own build first (UPDATE_PATCHES), and takes the whole new
build when there is none. A shipped launcher would carry its publisher's key;
the demo's key is made afresh for each run, so it comes on the command line.

Once the swap has begun, this program's own file holds the new build, from which
it could not import: all it does after UpdaterGUI() (a print, then the exit) uses
what it imported before.
"""
import os
import sys

import updater


def main():
    url = sys.argv[1]
    options = sys.argv[2:]
    console = "--console" in options
    print(f"launcher: old build started (pid {os.getpid()}), frozen: {getattr(sys, 'frozen', False)}",
          flush=True)
    updater.UPDATE_URL = url
    updater.UPDATE_PATCHES = True
    if console:
        updater.TK_AVAILABLE = False
    if "--public-key" in options:
        updater.UPDATE_PUBLIC_KEY = options[options.index("--public-key") + 1]
        print("launcher: installs only builds signed by its publisher's key", flush=True)
    print(f"launcher: install directory {updater.get_exe_dir()}", flush=True)
    # One small request first: the whole update runs only when there is something new.
    wanted = updater.check_for_update()
    print(f"launcher: check_for_update() says {wanted}", flush=True)
    if not wanted:
        return
    updater.UpdaterGUI()
    print("launcher: UpdaterGUI() returned", flush=True)  # nothing imported from here on


if __name__ == "__main__":
    main()
