"""Stands in for the shipped launcher's frozen host: it loads the updater and
runs one update, as the launcher does when a new build is out.

    host.py INSTALL_DIR UPDATE_URL [--console]

The release server's CA is trusted through SSL_CERT_FILE in the environment.
UPDATER_PATH, when set, names a build directory to load the module from.
"""
import os
import sys


def main():
    install_dir, url = sys.argv[1], sys.argv[2]
    console = "--console" in sys.argv[3:]

    # A frozen launcher's interpreter sets both of these itself.
    sys.frozen = True
    sys.executable = os.path.join(install_dir, "QuelbaLauncher.exe")

    if os.environ.get("UPDATER_PATH"):
        sys.path.insert(0, os.environ["UPDATER_PATH"])
    import updater

    updater.UPDATE_URL = url
    if console:
        updater.TK_AVAILABLE = False
    print(f"host: updater loaded from {updater.__file__}", flush=True)
    print(f"host: install directory {updater.get_exe_dir()}", flush=True)
    updater.UpdaterGUI()
    print("host: UpdaterGUI() returned", flush=True)


if __name__ == "__main__":
    main()
