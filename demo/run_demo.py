"""Runs one whole update the way a shipped launcher would.

A local HTTPS release server serves a new sample launcher build; a host
process, posing as the frozen launcher in demo/run/install, loads `updater`
and calls `UpdaterGUI()`. The window is used on $DISPLAY when it works, on a
virtual display (Xvfb, with a screenshot mid-download) otherwise, and the
console when neither works or with --console.

Exit status 0 when the old launcher was replaced by the new one and the new
one started; 1 otherwise.
"""
import argparse
import hashlib
import os
import shutil
import subprocess
import sys
import time

from release_server import ReleaseServer

DEMO = os.path.dirname(os.path.abspath(__file__))
RUN = os.path.join(DEMO, "run")
INSTALL = os.path.join(RUN, "install")
LAUNCHER = os.path.join(INSTALL, "QuelbaLauncher.exe")
RECORD = os.path.join(INSTALL, "launcher_started.txt")
CA_FILE = os.path.join(RUN, "demo-ca.pem")
SCREENSHOT = "screenshot.png"

NEW_SIZE = 2 * 1024 * 1024
RATE = 400 * 1024
XVFB_SCREEN = "600x320x24"
HOST_TIMEOUT = 90


def launcher_build(version, size=None):
    """A sample launcher: a shell script that says it started and records its
    version next to itself. Padded with comment lines to `size` bytes."""
    script = (
        "#!/bin/sh\n"
        f"# Quelba launcher, sample build \"{version}\" for the updater demo.\n"
        'here=$(cd "$(dirname "$0")" && pwd)\n'
        f'echo "launcher: {version} build started (pid $$)"\n'
        f"printf 'version={version} pid=%s time=%s\\n' \"$$\" \"$(date +%H:%M:%S)\""
        ' >> "$here/launcher_started.txt"\n'
        "exit 0\n"
    ).encode()
    if size is None:
        return script
    padding = bytearray()
    n = 0
    while len(script) + len(padding) < size:
        padding += f"# padding {n:08d} {hashlib.sha256(str(n).encode()).hexdigest()}\n".encode()
        n += 1
    return (script + padding)[:size - 1] + b"\n"


def describe(data):
    return f"{len(data)} bytes, sha256 {hashlib.sha256(data).hexdigest()[:12]}"


def version_of(data):
    for word in (b'"new"', b'"old"'):
        if word in data[:200]:
            return word.strip(b'"').decode()
    return "unknown"


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


def take_screenshot(server, env, host, deadline):
    """Waits until the download is well under way, then grabs the screen."""
    while not server.mid_transfer.wait(0.2):
        if host.poll() is not None or time.monotonic() > deadline:
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
    sys.stdout.reconfigure(line_buffering=True)  # keep our lines in order with the host's

    shutil.rmtree(RUN, ignore_errors=True)
    os.makedirs(INSTALL)
    old_build = launcher_build("old")
    new_build = launcher_build("new", NEW_SIZE)
    with open(LAUNCHER, "wb") as f:
        f.write(old_build)
    os.chmod(LAUNCHER, 0o755)

    env = dict(os.environ, SSL_CERT_FILE=CA_FILE)
    if env.get("UPDATER_PATH"):
        env["UPDATER_PATH"] = os.path.abspath(env["UPDATER_PATH"])
    mode, xvfb, reason = choose_front_end(args.console, env)

    print(f"demo: install directory {INSTALL}")
    print(f"demo: old launcher {describe(old_build)}")
    print(f"demo: front end: {reason}")
    shot = None
    try:
        with ReleaseServer(new_build, RATE, CA_FILE) as server:
            print(f"demo: release server {server.url}")
            print(f"demo: serving the new build ({describe(new_build)}) at {RATE // 1024} KiB/s")
            command = [sys.executable, os.path.join(DEMO, "host.py"), INSTALL, server.url]
            if mode == "console":
                command.append("--console")
            started = time.monotonic()
            host = subprocess.Popen(command, cwd=INSTALL, env=env)
            try:
                deadline = started + HOST_TIMEOUT
                if mode == "virtual":
                    shot = take_screenshot(server, env, host, deadline)
                status = host.wait(timeout=max(0, deadline - time.monotonic()))
            except subprocess.TimeoutExpired:
                # A message box nobody can dismiss, or a stalled transfer.
                status = None
                if mode == "virtual":
                    stuck = grab_screen(env, "stuck.png")
                    if stuck:
                        print(f"demo: the screen when the host was stopped: {stuck}")
            finally:
                if host.poll() is None:
                    host.kill()
                    host.wait()
            took = time.monotonic() - started
            launcher_started = wait_for_record(10 if status == 0 else 1)
            served, log = server.sent, list(server.log)
    finally:
        if xvfb:
            xvfb.terminate()
            xvfb.wait()

    return report(old_build, new_build, status, took, launcher_started, served, log, shot)


def report(old_build, new_build, status, took, launcher_started, served, log, shot):
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
    if status is None:
        print(f"  host did not finish within {HOST_TIMEOUT} s and was stopped")
    else:
        print(f"  host exit status: {status} (after {took:.1f} s)"
              + ("" if status == 0 else "; its own output is above"))
    if replaced:
        print(f"  replaced {LAUNCHER}:")
        print(f"    old build ({describe(old_build)})")
        print(f"    by the new build ({describe(new_build)})")
    elif now is None:
        print(f"  NOT replaced: {LAUNCHER} is missing")
    else:
        print(f"  NOT replaced: {LAUNCHER} is the {version_of(now)} build ({describe(now)})")
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
    print("The update worked." if ok else "The update did NOT happen.")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
