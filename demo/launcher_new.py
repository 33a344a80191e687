"""The demo's launcher, new build: run_demo.py freezes it with PyInstaller and
the release server hands out the one-file executable, and a patch that makes
it from the old build. Started, it says so and records its version in
launcher_started.txt beside its executable. Like the old build, it carries the
updater, to update itself when a newer build is out; so the two builds hold
the same modules, and the patch between them is small. What it does after an
update of its own must be imported before it, as the old build's is."""
import os
import sys
import time

import updater  # noqa: F401  (the next update's; not run here)


def main():
    here = os.path.dirname(os.path.abspath(sys.executable))
    print(f"launcher: new build started (pid {os.getpid()}), frozen: {getattr(sys, 'frozen', False)}",
          flush=True)
    with open(os.path.join(here, "launcher_started.txt"), "a") as f:
        f.write(f"version=new pid={os.getpid()} frozen={getattr(sys, 'frozen', False)} "
                f"time={time.strftime('%H:%M:%S')}\n")


if __name__ == "__main__":
    main()
