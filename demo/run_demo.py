"""Runs one whole update in a real frozen launcher.

Two launcher builds are frozen with PyInstaller (once; kept in
build/demo-frozen): the old one (launcher_old.py), which loads `updater` and calls
`UpdaterGUI()`, and the new one (launcher_new.py), which records that it started.
The old build is installed as demo/run/install/QuelbaLauncher.exe and run from
there; a local HTTPS release server hands out the new build. The window is
used on $DISPLAY when it works, on a virtual display (Xvfb, with a screenshot
mid-download) otherwise, and the console when neither works or with --console.

Exit status 0 when the running launcher replaced its own executable with the
new build and the new build started; 1 otherwise.
"""
import argparse
import hashlib
import os
import shutil
import subprocess
import sys
import time

import freeze
from release_server import ReleaseServer

DEMO = os.path.dirname(os.path.abspath(__file__))
RUN = os.path.join(DEMO, "run")
INSTALL = os.path.join(RUN, "install")
LAUNCHER = os.path.join(INSTALL, "QuelbaLauncher.exe")
RECORD = os.path.join(INSTALL, "launcher_started.txt")
CA_FILE = os.path.join(RUN, "demo-ca.pem")
SCREENSHOT = "screenshot.png"

DOWNLOAD_SECONDS = 5  # the new build is served slowly enough to watch the progress
XVFB_SCREEN = "600x320x24"
LAUNCHER_TIMEOUT = 90


def freeze_builds():
    """Freezes both launcher builds (or takes them from the cache); returns
    (old bytes, new bytes, a line saying how)."""
    scripts = {name: os.path.join(DEMO, name + ".py") for name in ("launcher_old", "launcher_new")}
    paths = [os.environ["UPDATER_PATH"]] if os.environ.get("UPDATER_PATH") else []
    builds, seconds = freeze.freeze(scripts, paths, lambda line: print("demo: " + line))
    how = (f"frozen by {freeze.TOOL} {freeze.tool_version()} (one-file executables"
           + (f", made in {seconds:.0f} s)" if seconds is not None
              else f", made earlier and kept in {os.path.relpath(freeze.CACHE)})"))
    with open(builds["launcher_old"], "rb") as f:
        old = f.read()
    with open(builds["launcher_new"], "rb") as f:
        new = f.read()
    return old, new, how


def describe(data):
    return f"{len(data)} bytes, sha256 {hashlib.sha256(data).hexdigest()[:12]}"


def version_of(data, old_build, new_build):
    return {old_build: "old", new_build: "new"}.get(data, "unknown")


def tk_works(env):
    """Whether a Tk root window opens with this environment."""
    try:
        probe = subprocess.run(
            [sys.executable, "-c", "import tkinter; tkinter.Tk().destroy()"],
            env=env, capture_output=True, timeout=20)
    except subprocess.TimeoutExpired:
        return False
    return probe.returncode == 0


def start_xvfb():
    """Starts Xvfb on a free display number; returns (process, ":N") or None."""
    if not shutil.which("Xvfb"):
        return None
    read_end, write_end = os.pipe()
    proc = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_end), "-screen", "0", XVFB_SCREEN, "-nolisten", "tcp"],
        pass_fds=[write_end], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    with os.fdopen(read_end) as numbers:
        number = numbers.readline().strip()
    if not number:
        proc.wait()
        return None
    return proc, ":" + number


def choose_front_end(console, env):
    """Returns (mode, xvfb process or None, reason), mode being "window",
    "virtual" or "console"."""
    if console:
        return "console", None, "--console given"
    if env.get("DISPLAY") and tk_works(env):
        return "window", None, f"the window on DISPLAY {env['DISPLAY']}"
    started = start_xvfb()
    if started:
        proc, display = started
        env["DISPLAY"] = display
        if tk_works(env):
            return "virtual", proc, f"the window on a virtual display (Xvfb {display})"
        proc.terminate()
        proc.wait()
        del env["DISPLAY"]
        return "console", None, "no Tk window could be opened, not even on Xvfb"
    return "console", None, "no working display and no Xvfb"


def grab_screen(env, name):
    """Saves the virtual display's screen as demo/run/<name>; returns the path."""
    if not shutil.which("import"):
        print("demo: no screenshot: imagemagick's `import` is missing")
        return None
    shot = os.path.join(RUN, name)
    grab = subprocess.run(["import", "-window", "root", shot], env=env,
                          capture_output=True, text=True, timeout=30)
    if grab.returncode != 0:
        print(f"demo: screenshot failed: {grab.stderr.strip()}")
        return None
    return shot


def take_screenshot(server, env, launcher, deadline):
    """Waits until the download is well under way, then grabs the screen."""
    while not server.mid_transfer.wait(0.2):
        if launcher.poll() is not None or time.monotonic() > deadline:
            return None
    time.sleep(0.4)
    return grab_screen(env, SCREENSHOT)


def wait_for_record(timeout):
    """Waits for the started launcher to write its line to RECORD."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if os.path.exists(RECORD) and open(RECORD).read().endswith("\n"):
            return True
        time.sleep(0.1)
    return os.path.exists(RECORD)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--console", action="store_true", help="use the console front end")
    args = parser.parse_args()
    sys.stdout.reconfigure(line_buffering=True)  # keep our lines in order with the launcher's

    old_build, new_build, frozen = freeze_builds()
    shutil.rmtree(RUN, ignore_errors=True)
    os.makedirs(INSTALL)
    with open(LAUNCHER, "wb") as f:
        f.write(old_build)
    os.chmod(LAUNCHER, 0o755)
    rate = max(64 * 1024, len(new_build) // DOWNLOAD_SECONDS)

    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    env["SSL_CERT_FILE"] = CA_FILE
    mode, xvfb, reason = choose_front_end(args.console, env)

    print(f"demo: install directory {INSTALL}")
    print(f"demo: old launcher {describe(old_build)}, {frozen}")
    print(f"demo: front end: {reason}")
    shot = None
    try:
        with ReleaseServer(new_build, rate, CA_FILE) as server:
            print(f"demo: release server {server.url}")
            print(f"demo: serving the new build ({describe(new_build)}) at {rate // 1024} KiB/s")
            command = [LAUNCHER, server.url]
            if mode == "console":
                command.append("--console")
            started = time.monotonic()
            launcher = subprocess.Popen(command, cwd=INSTALL, env=env)
            try:
                deadline = started + LAUNCHER_TIMEOUT
                if mode == "virtual":
                    shot = take_screenshot(server, env, launcher, deadline)
                status = launcher.wait(timeout=max(0, deadline - time.monotonic()))
            except subprocess.TimeoutExpired:
                # A message box nobody can dismiss, or a stalled transfer.
                status = None
                if mode == "virtual":
                    stuck = grab_screen(env, "stuck.png")
                    if stuck:
                        print(f"demo: the screen when the launcher was stopped: {stuck}")
            finally:
                if launcher.poll() is None:
                    launcher.kill()
                    launcher.wait()
            took = time.monotonic() - started
            launcher_started = wait_for_record(10 if status == 0 else 1)
            served, log = server.sent, list(server.log)
    finally:
        if xvfb:
            xvfb.terminate()
            xvfb.wait()

    return report(old_build, new_build, frozen, status, took, launcher_started, served, log,
                  shot)


def report(old_build, new_build, frozen, status, took, launcher_started, served, log, shot):
    now = open(LAUNCHER, "rb").read() if os.path.exists(LAUNCHER) else None
    record = open(RECORD).read().strip() if launcher_started else ""
    replaced = now == new_build
    ran_new = "version=new" in record
    leftovers = sorted(set(os.listdir(INSTALL)) - {"QuelbaLauncher.exe", "launcher_started.txt"})

    print()
    print("What happened:")
    for line in log:
        print(f"  server: {line}")
    print(f"  server: sent {served} of {len(new_build)} bytes")
    print(f"  the launcher builds were {frozen}")
    if status is None:
        print(f"  the frozen launcher did not finish within {LAUNCHER_TIMEOUT} s and was stopped")
    else:
        print(f"  the frozen launcher's exit status: {status} (after {took:.1f} s)"
              + ("" if status == 0 else "; its own output is above"))
    if replaced:
        print(f"  the running launcher replaced its own executable {LAUNCHER}:")
        print(f"    old build ({describe(old_build)})")
        print(f"    by the new build ({describe(new_build)})")
    elif now is None:
        print(f"  NOT replaced: {LAUNCHER} is missing")
    else:
        print(f"  NOT replaced: {LAUNCHER} is the {version_of(now, old_build, new_build)} build"
              f" ({describe(now)})")
    if ran_new:
        print(f"  the new launcher started: {RECORD} says \"{record}\"")
    elif record:
        print(f"  the NEW launcher did NOT start: {RECORD} says \"{record}\"")
    else:
        print(f"  the new launcher did NOT start: no {RECORD}")
    if leftovers:
        print(f"  also in the install directory: {', '.join(leftovers)}")
    if shot:
        print(f"  screenshot mid-download: {shot}")

    ok = status == 0 and replaced and ran_new
    print(f"The frozen launcher ({freeze.TOOL}) updated itself." if ok
          else "The update did NOT happen.")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
