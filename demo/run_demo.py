"""Runs one whole update in a real frozen launcher.

Two launcher builds are frozen with PyInstaller (once; kept in
build/demo-frozen): the old one (launcher_old.py), which loads `updater` and calls
`UpdaterGUI()`, and the new one (launcher_new.py), which records that it started.
The old build is installed as demo/run/install/QuelbaLauncher.exe and run from
there. Both builds are released with updater-release, the publisher's command,
into demo/run/release: the old one first, then the new one, which gets the
patch from the old build in its .patches directory. A local HTTPS release
server hands out the release's public/ tree. The launcher asks for the patch
first and moves a few kilobytes instead of the whole build (with --no-patch
none is published, and it takes the whole build). The window is used on $DISPLAY when it works, on a virtual
display (Xvfb, with a screenshot mid-download when the whole build moves)
otherwise, and the console when neither works or with --console.

Both releases are signed with a throwaway minisign key made for the run, and the
launcher is given that key: it installs only what the key signed. With
--tampered the server hands out the build with one byte changed (beside the
good signature), and a patch that makes that build, as a server in the wrong
hands would, and the launcher refuses both, keeping the old build.

With --onedir both builds are one-dir builds, each executable beside a contents
folder named for its build (_internal-old, _internal-new): the old one is installed
with its folder, and the update brings the new folder whole (its files copied from
the old folder when they are the same bytes, the rest downloaded) before the swap.

With --windows the launcher is a Windows program: the builds are frozen by
PyInstaller in the Windows CPython that tools/windows runs under Wine (kept in
build/demo-frozen-windows), with the cross-built module installed from its
wheel, and the frozen launcher runs under Wine, its window on a virtual
display. The releases and the release server stay on this side.

The old launcher asks check_for_update() first and updates only on True; once
the update is over, the demo asks it again as the installed launcher would at
its next start, and the answer must be False.

Exit status 0 when the running launcher replaced its own executable with the
new build, the new build started and the check then said False (with --tampered: when it refused the
build and kept the old one); 1 otherwise.
"""
import argparse
import hashlib
import json
import os
import shutil
import subprocess
import sys
import threading
import time

import freeze
import updater_release
from release_server import BUILD_PATH, PATCHES_PATH, ReleaseServer

DEMO = os.path.dirname(os.path.abspath(__file__))
RUN = os.path.join(DEMO, "run")
RELEASE = os.path.join(RUN, "release")
PUBLIC = os.path.join(RELEASE, "public")
KEYS = os.path.join(RUN, "keys")
INSTALL = os.path.join(RUN, "install")
LAUNCHER = os.path.join(INSTALL, "QuelbaLauncher.exe")
RECORD = os.path.join(INSTALL, "launcher_started.txt")
CA_FILE = os.path.join(RUN, "demo-ca.pem")
SCREENSHOT = "screenshot.png"
TOOLS = os.path.join(os.path.dirname(DEMO), "tools")
CONTENTS = {"launcher_old": "_internal-old", "launcher_new": "_internal-new"}  # with --onedir
WINDOWS_PYTHON = "3.12"  # the Windows CPython the --windows builds are frozen with

DOWNLOAD_SECONDS = 5  # the whole new build is served slowly enough to watch the progress
XVFB_SCREEN = "600x320x24"
LAUNCHER_TIMEOUT = 90


def freeze_builds(onedir=False):
    """Freezes both launcher builds (or takes them from the cache); returns
    (old bytes, new bytes, a line saying how, the path of the new build, the
    path of the old one)."""
    scripts = {name: os.path.join(DEMO, name + ".py") for name in ("launcher_old", "launcher_new")}
    paths = [os.environ["UPDATER_PATH"]] if os.environ.get("UPDATER_PATH") else []
    builds, seconds = freeze.freeze(scripts, paths, lambda line: print("demo: " + line),
                                    CONTENTS if onedir else None)
    return read_builds(builds, f"frozen by {freeze.TOOL} {freeze.tool_version()}", seconds,
                       os.path.relpath(freeze.CACHE), "one-dir builds" if onedir else "one-file executables")


def read_builds(builds, frozen_by, seconds, cache, layout="one-file executables"):
    """(old bytes, new bytes, a line saying how they were frozen, the path of the
    new build, the path of the old one) of the builds `builds` names; `seconds`
    None when cached."""
    how = (f"{frozen_by} ({layout}"
           + (f", made in {seconds:.0f} s)" if seconds is not None
              else f", made earlier and kept in {cache})"))
    with open(builds["launcher_old"], "rb") as f:
        old = f.read()
    with open(builds["launcher_new"], "rb") as f:
        new = f.read()
    return old, new, how, builds["launcher_new"], builds["launcher_old"]


def windows_side():
    """tools/windows.py, with the module's win_amd64 wheel built and installed
    into the Windows CPython (which PyInstaller's hook is found through)."""
    sys.path.insert(0, TOOLS)
    import windows

    windows.install(WINDOWS_PYTHON)
    return windows


def linux_path(path):
    """The Linux path of a Z:\\ path (Wine's Z: drive is /)."""
    return path[2:].replace("\\", "/") if path[:2].upper() == "Z:" else path


def freeze_windows_builds(windows):
    """Freezes both launcher builds with the Windows CPython under Wine (or takes
    them from the cache); returns what freeze_builds returns."""
    python = os.path.join(windows.python_root(WINDOWS_PYTHON), "python.exe")
    scripts = [f"{name}={windows.windows_path(os.path.join(DEMO, name + '.py'))}"
               for name in ("launcher_old", "launcher_new")]
    code, out = windows.run_wine([python, windows.windows_path(os.path.join(DEMO, "freeze.py")),
                                  *scripts], capture=True)
    if code:
        raise SystemExit(f"demo: freezing under Wine failed ({code})")
    made = json.loads(out.strip().splitlines()[-1])
    builds = {name: linux_path(path) for name, path in made["builds"].items()}
    cache = os.path.relpath(os.path.dirname(builds["launcher_old"]))
    return read_builds(builds, f"frozen by {freeze.TOOL} {made['version']} for Windows, in CPython"
                       f" {WINDOWS_PYTHON} under Wine", made["seconds"], cache)


def start_under_wine(windows, command, env):
    """Starts the Windows launcher under Wine; its output comes through a pipe
    (the Windows Python cannot write to a regular file it inherits from here)
    and is printed as it comes."""
    windows.start_wineserver()
    proc = subprocess.Popen([windows.wine_binary(), *command], cwd=INSTALL,
                            env=windows.wine_env(env), stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)

    def pump():
        # Python on Windows writes a pipe in the ANSI code page: Wine's is cp1252 here.
        for line in iter(proc.stdout.readline, b""):
            print(line.decode("cp1252", errors="replace").rstrip("\r\n"))

    threading.Thread(target=pump, daemon=True).start()
    return proc


def make_key():
    """A throwaway key pair without a password (minisign -G -W); returns the
    public key as minisign prints it."""
    minisign = shutil.which("minisign")
    if minisign is None:
        raise SystemExit("demo: the minisign tool is needed (tools/setup-system installs it)")
    os.makedirs(KEYS)
    subprocess.run([minisign, "-G", "-W", "-p", f"{KEYS}/demo.pub", "-s", f"{KEYS}/demo.key"],
                   check=True, capture_output=True)
    with open(f"{KEYS}/demo.pub") as f:
        return f.read().splitlines()[1]


def release(path, label, *options):
    """Releases the build at `path` into RELEASE with updater-release, signed with
    the demo key, and prints what the command said."""
    made = subprocess.run([sys.executable, "-m", "updater_release", path, RELEASE, "--secret-key",
                           f"{KEYS}/demo.key", "--public-key", f"{KEYS}/demo.pub", "--comment",
                           f"demo build: {label}", *options], capture_output=True, text=True)
    for line in (made.stdout + made.stderr).splitlines():
        print("demo: " + line.replace(RUN + os.sep, ""))
    if made.returncode != 0:
        raise SystemExit(f"demo: updater-release failed ({made.returncode})")


def tamper_release(build, old_build):
    """Replaces the published build with `build` and its patch with one that makes
    `build`, beside the good signature."""
    with open(os.path.join(PUBLIC, "QuelbaLauncher.exe"), "wb") as f:
        f.write(build)
    patch = os.path.join(PUBLIC, "QuelbaLauncher.exe.patches", hashlib.sha256(old_build).hexdigest() + ".zst")
    if os.path.exists(patch):
        with open(patch, "wb") as f:
            f.write(updater_release.make_patch(old_build, build))


def tamper(build):
    """The build with one byte in its middle changed."""
    middle = len(build) // 2
    return build[:middle] + bytes([build[middle] ^ 0x40]) + build[middle + 1:]


def describe(data):
    return f"{len(data)} bytes, sha256 {hashlib.sha256(data).hexdigest()[:12]}"


def size(n):
    for unit, scale in (("MB", 1e6), ("kB", 1e3)):
        if n >= scale:
            return f"{n / scale:.1f} {unit}"
    return f"{n} bytes"


def moved(sent, build_size):
    """What the server sent, against the whole build: "moved 11.2 kB: a patch
    and the signature, 0.11% of the 9.8 MB build"."""
    parts = []
    if any(path.startswith(PATCHES_PATH) for path in sent):
        parts.append("a patch")
    if BUILD_PATH in sent:
        parts.append("the whole build" if not parts else "then the whole build")
    if BUILD_PATH + ".minisig" in sent:
        parts.append("the signature")
    if BUILD_PATH + ".contents" in sent:
        parts.append("the contents' manifest")
    files = sum(1 for path in sent if path.startswith(BUILD_PATH + ".files/"))
    if files:
        parts.append(f"{files} file{'s' if files > 1 else ''} of the contents")
    what = ", ".join(parts[:-1]) + " and " + parts[-1] if len(parts) > 1 else "".join(parts) or "nothing"
    total = sum(sent.values())
    return f"moved {size(total)}: {what}, {100 * total / build_size:.2f}% of the {size(build_size)} build"


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


def start_xvfb(screen=XVFB_SCREEN):
    """Starts Xvfb on a free display number; returns (process, ":N") or None."""
    if not shutil.which("Xvfb"):
        return None
    read_end, write_end = os.pipe()
    proc = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_end), "-screen", "0", screen, "-nolisten", "tcp"],
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


def window_area(env):
    """-crop geometry for the screen's part of XVFB_SCREEN's size around the
    updater window, or () when it is not found. Wine centres the window on the
    screen its desktop was set up with, which need not be this one's."""
    try:
        tree = subprocess.run(["xwininfo", "-root", "-tree"], env=env, capture_output=True,
                              text=True, timeout=10).stdout
    except (OSError, subprocess.TimeoutExpired):
        return ()
    for line in tree.splitlines():
        if '"Quelba Updater"' in line:
            size, at = line.split()[-2:]
            width, height = (int(n) for n in size.split("+")[0].split("x"))
            x, y = (int(n) for n in at.split("+")[1:])
            crop_w, crop_h = (int(n) for n in XVFB_SCREEN.split("x")[:2])
            left, top = max(0, x + (width - crop_w) // 2), max(0, y + (height - crop_h) // 2)
            return ("-crop", f"{crop_w}x{crop_h}+{left}+{top}", "+repage")
    return ()


def grab_screen(env, name, around_window=False):
    """Saves the virtual display's screen (or the part around the window) as
    demo/run/<name>; returns the path."""
    if not shutil.which("import"):
        print("demo: no screenshot: imagemagick's `import` is missing")
        return None
    shot = os.path.join(RUN, name)
    crop = window_area(env) if around_window else ()
    grab = subprocess.run(["import", "-window", "root", *crop, shot], env=env,
                          capture_output=True, text=True, timeout=30)
    if grab.returncode != 0:
        print(f"demo: screenshot failed: {grab.stderr.strip()}")
        return None
    return shot


def take_screenshot(server, env, launcher, deadline, around_window=False):
    """Waits until the download is well under way, then grabs the screen."""
    while not server.mid_transfer.wait(0.2):
        if launcher.poll() is not None or time.monotonic() > deadline:
            return None
    time.sleep(0.4)
    return grab_screen(env, SCREENSHOT, around_window)


def wait_for_record(timeout):
    """Waits for the started launcher to write its line to RECORD."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if os.path.exists(RECORD) and open(RECORD).read().endswith("\n"):
            return True
        time.sleep(0.1)
    return os.path.exists(RECORD)


def ask_after(url, public_key, env):
    """check_for_update() asked once the update is over, as the installed launcher
    would ask it at its next start: a host process whose executable is the
    launcher in the install directory. Its answer, or what it raised."""
    script = ("import sys; sys.frozen = True; sys.executable = sys.argv[1]; import updater; "
              "updater.UPDATE_URL, updater.UPDATE_PUBLIC_KEY = sys.argv[2], sys.argv[3]; "
              "print(updater.check_for_update())")
    asked = subprocess.run([sys.executable, "-c", script, LAUNCHER, url, public_key],
                           env={**env, "SSL_CERT_FILE": CA_FILE}, capture_output=True, text=True,
                           timeout=120)
    if asked.returncode != 0:
        return "raised " + (asked.stderr.strip().splitlines() or ["?"])[-1]
    return asked.stdout.strip()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--console", action="store_true", help="use the console front end")
    parser.add_argument("--tampered", action="store_true",
                        help="serve the build with one byte changed, and a patch that makes it: the "
                             "launcher must refuse both (runs on the console, so that no error box "
                             "waits for a click)")
    parser.add_argument("--no-patch", action="store_true",
                        help="publish no patch: the launcher finds none and takes the whole build")
    parser.add_argument("--windows", action="store_true",
                        help="a launcher frozen for Windows, run under Wine, its window on Xvfb")
    parser.add_argument("--onedir", action="store_true",
                        help="one-dir builds, each beside a contents folder named for its build: the"
                             " update brings the new folder whole before the swap")
    args = parser.parse_args()
    if args.onedir and args.windows:
        parser.error("--onedir runs on this side only")
    sys.stdout.reconfigure(line_buffering=True)  # keep our lines in order with the launcher's

    windows = windows_side() if args.windows else None
    if windows:
        old_build, new_build, frozen, new_path, old_path = freeze_windows_builds(windows)
    else:
        old_build, new_build, frozen, new_path, old_path = freeze_builds(args.onedir)
    shutil.rmtree(RUN, ignore_errors=True)
    os.makedirs(INSTALL)
    with open(LAUNCHER, "wb") as f:
        f.write(old_build)
    os.chmod(LAUNCHER, 0o755)
    # A one-dir build is installed with its contents folder, and released from
    # where it was frozen: the executable beside its folder.
    folders = None
    if args.onedir:
        folders = [os.path.join(os.path.dirname(path), CONTENTS[name])
                   for path, name in ((old_path, "launcher_old"), (new_path, "launcher_new"))]
        shutil.copytree(folders[0], os.path.join(INSTALL, CONTENTS["launcher_old"]), symlinks=True)
    public_key = make_key()
    if not args.onedir:
        old_path = os.path.join(RUN, "old-build")
        with open(old_path, "wb") as f:
            f.write(old_build)
    release(old_path, "old")
    release(new_path, "new", *(["--keep", "0"] if args.no_patch else []))
    served_build = tamper(new_build) if args.tampered else new_build
    if args.tampered:
        tamper_release(served_build, old_build)
    rate = max(64 * 1024, len(new_build) // DOWNLOAD_SECONDS)

    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    env["SSL_CERT_FILE"] = CA_FILE
    if windows:
        # Wine opens its windows on DISPLAY; a virtual one keeps them off the desktop.
        env["SSL_CERT_FILE"] = windows.windows_path(CA_FILE)
        env.pop("DISPLAY", None)
        started = None if args.console or args.tampered else start_xvfb("1920x1080x24")
        mode, xvfb = ("virtual", started[0]) if started else ("console", None)
        if started:
            env["DISPLAY"] = started[1]
        reason = (f"the window on a virtual display (Xvfb {started[1]}), under Wine" if started
                  else "the console, under Wine" + ("" if args.console or args.tampered
                                                    else " (no Xvfb)"))
    else:
        mode, xvfb, reason = choose_front_end(args.console or args.tampered, env)

    print(f"demo: install directory {INSTALL}")
    print(f"demo: old launcher {describe(old_build)}, {frozen}")
    print(f"demo: front end: {reason}")
    print(f"demo: the builds are signed with a throwaway key; the launcher is given {public_key}")
    shot = None
    try:
        with ReleaseServer(PUBLIC, rate, CA_FILE) as server:
            patches = {path: body for path, body in server.files.items() if path.startswith(PATCHES_PATH)}
            print(f"demo: release server {server.url} (and beside it the rest of {os.path.relpath(PUBLIC)}/:"
                  + (" .sha256, .minisig, .patches/)" if patches else " .sha256, .minisig; no .patches/)"))
            what = "a TAMPERED copy of the new build" if args.tampered else "the new build"
            print(f"demo: serving {what} ({describe(served_build)}) at {rate // 1024} KiB/s")
            for path, patch in patches.items():
                print(f"demo: and the patch from the old build to it, .patches/{path[len(PATCHES_PATH):][:12]}...zst"
                      f" ({size(len(patch))}, {100 * len(patch) / len(served_build):.2f}% of the build)")
            command = [LAUNCHER, server.url, "--public-key", public_key]
            if mode == "console":
                command.append("--console")
            started = time.monotonic()
            if windows:
                launcher = start_under_wine(windows, command, env)
            else:
                launcher = subprocess.Popen(command, cwd=INSTALL, env=env)
            try:
                deadline = started + LAUNCHER_TIMEOUT
                if mode == "virtual":
                    shot = take_screenshot(server, env, launcher, deadline, windows is not None)
                status = launcher.wait(timeout=max(0, deadline - time.monotonic()))
            except subprocess.TimeoutExpired:
                # A message box nobody can dismiss, or a stalled transfer.
                status = None
                if mode == "virtual":
                    stuck = grab_screen(env, "stuck.png", windows is not None)
                    if stuck:
                        print(f"demo: the screen when the launcher was stopped: {stuck}")
            finally:
                if launcher.poll() is None:
                    launcher.kill()
                    launcher.wait()
            took = time.monotonic() - started
            launcher_started = wait_for_record(10 if status == 0 else 1)
            served, log = dict(server.sent), list(server.log)
            after = ask_after(server.url, public_key, env)
            if mode == "virtual" and shot is None and BUILD_PATH not in served:
                print("demo: no screenshot: the patch moved too fast for one (--no-patch moves"
                      " the whole build, slowly enough)")
    finally:
        if xvfb:
            xvfb.terminate()
            xvfb.wait()

    if windows and shot:
        keep = os.path.join(DEMO, "screenshot-windows.png")
        shutil.copyfile(shot, keep)
        shot = keep
    return report(old_build, new_build, frozen, status, took, launcher_started, served, log,
                  shot, args.tampered, windows is not None, after, folders)


def tree(path):
    """{relative path: bytes, or the target of a link} of a folder."""
    out = {}
    for folder, _, names in os.walk(path):
        for name in names:
            full = os.path.join(folder, name)
            out[os.path.relpath(full, path)] = os.readlink(full) if os.path.islink(full) else open(full, "rb").read()
    return out


def report(old_build, new_build, frozen, status, took, launcher_started, served, log, shot,
           tampered=False, windows=False, after=None, folders=None):
    now = open(LAUNCHER, "rb").read() if os.path.exists(LAUNCHER) else None
    record = open(RECORD).read().strip() if launcher_started else ""
    replaced = now == new_build
    ran_new = "version=new" in record
    kept = os.path.exists(LAUNCHER + ".minisig")
    leftovers = sorted(set(os.listdir(INSTALL)) - {"QuelbaLauncher.exe", "QuelbaLauncher.exe.minisig",
                                                   "launcher_started.txt"})
    whole = len(new_build)
    if folders:
        old_name, new_name = (os.path.basename(folder) for folder in folders)
        made = os.path.join(INSTALL, new_name)
        folder_made = os.path.isdir(made) and tree(made) == tree(folders[1])
        whole += sum(len(body) if isinstance(body, bytes) else 0 for body in tree(folders[1]).values())
        leftovers = [name for name in leftovers if name not in (old_name, new_name, "QuelbaLauncher.exe.folders")]

    print()
    print("What happened:")
    for line in log:
        print(f"  server: {line}")
    print(f"  server: {moved(served, whole)}" + (" (the folder: executable and contents)" if folders else ""))
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
    if kept:
        print(f"  its signature lies beside it as its record: {LAUNCHER}.minisig")
    if folders:
        print(f"  its contents folder {new_name}/ was made whole beside {old_name}/ before the swap"
              if folder_made else f"  the contents folder {new_name}/ is NOT the new build's")
        print(f"  {old_name}/, which the old process ran from, "
              + ("stays until the next update removes it" if os.path.isdir(os.path.join(INSTALL, old_name))
                 else "was removed once the old process no longer needed it"))
    if windows and leftovers == ["QuelbaLauncher.exe.old"] and replaced:
        print("  also in the install directory: QuelbaLauncher.exe.old, the old build; Windows"
              " keeps a running program's file, and the next update clears it")
        leftovers = []
    elif leftovers:
        print(f"  also in the install directory: {', '.join(leftovers)}")
    if shot:
        print(f"  screenshot mid-download: {shot}")
    print(f"  check_for_update() asked after the update: {after}"
          + (" (the installed launcher is the published build)" if after == "False" else ""))

    if tampered:
        refused = status == 1 and now == old_build and not record and not leftovers and not kept
        print("The tampered build was refused: its signature does not verify, and the old"
              " launcher is kept." if refused else "The tampered build was NOT refused as it should be.")
        return 0 if refused else 1
    ok = status == 0 and replaced and ran_new and kept and after == "False" and (not folders or folder_made)
    how = "through a patch" if BUILD_PATH not in served else "with the whole build"
    if folders and ok:
        print(f"The frozen one-dir launcher ({freeze.TOOL}) updated itself {how} to a signed build,"
              f" {new_name}/ replacing {old_name}/ ({moved(served, whole)}).")
        return 0
    print(f"The frozen {'Windows ' if windows else ''}launcher ({freeze.TOOL}) updated itself"
          f"{' under Wine' if windows else ''} {how} to a signed build"
          f" ({moved(served, len(new_build))})." if ok else "The update did NOT happen.")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
