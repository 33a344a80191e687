"""updater-release, the publisher's command, end to end: real executables (a
small C program built with cc, or the interpreter's own where no compiler
starts) released with a real minisign key, the public/ tree served as uploaded
and installed by the module through its patch; every bad input refused with
nothing published. The key cases skip under Wine, where minisign cannot start."""
import os
import random
import shutil
import subprocess
import sys
import sysconfig
import time

import pytest

import signing
import updater
import updater_release
from https_fixtures import WINDOWS

NAME = "QuelbaLauncher.exe"
needs_minisign = pytest.mark.skipif(signing.CLI is None, reason="the minisign command cannot run here")


def release(build, release_dir, *options, input=None, env=None):
    return subprocess.run([sys.executable, "-m", "updater_release", str(build), str(release_dir), *options],
                          input=input, capture_output=True, text=True, env=env, timeout=300)


def tree(directory):
    """{relative path: bytes} of every file under `directory`."""
    out = {}
    for folder, _, files in os.walk(directory):
        for name in files:
            with open(os.path.join(folder, name), "rb") as f:
                out[os.path.relpath(os.path.join(folder, name), directory).replace(os.sep, "/")] = f.read()
    return out


@pytest.fixture(scope="module")
def builds(tmp_path_factory):
    """base; far, with noise no patch from base can shrink; near, base with another string."""
    root = tmp_path_factory.mktemp("builds")
    cc = None if WINDOWS else shutil.which("cc")

    def build(tag, noise=b""):
        path = root / tag
        if cc:
            (root / f"{tag}.c").write_text(f'#include <stdio.h>\nint main(void) {{ puts("{tag}"); return 0; }}\n')
            subprocess.run([cc, "-O1", "-o", str(path), str(root / f"{tag}.c")], check=True)
            path.write_bytes(path.read_bytes() + noise)
        else:
            path.write_bytes(open(sys.executable, "rb").read() + tag.encode() + noise)
        return path

    return build("base"), build("far", random.Random(3).randbytes(400_000)), build("near")


@pytest.fixture
def rel(tmp_path):
    """A release directory (the install directory is made beside it)."""
    return tmp_path / "release"


@pytest.fixture(scope="module")
def keys(tmp_path_factory):
    if signing.CLI is None:
        pytest.skip("the minisign command cannot run here")
    root = tmp_path_factory.mktemp("keys")
    for name in ("ours", "other"):
        signing.run("-G", "-W", "-p", str(root / f"{name}.pub"), "-s", str(root / f"{name}.key"))
    subprocess.run([signing.CLI, "-G", "-p", str(root / "pw.pub"), "-s", str(root / "pw.key")],
                   input=b"secret\nsecret\n", check=True, capture_output=True)
    return root


def signed(keys, name="ours"):
    return ["--secret-key", str(keys / f"{name}.key"), "--public-key", str(keys / f"{name}.pub")]


def install_through_patch(public, https_server, install_dir, monkeypatch, old, key=None):
    """Serves `public` as uploaded, installs `old` (and its record when signed)
    and downloads the release: returns the download, which must come through the patch."""
    url = https_server.add(public[NAME])
    base = url[: -len(NAME)]
    for path, body in public.items():
        https_server.add(body, path=base[base.index("/", 8):] + path)
    install_dir.point(url)
    install_dir.write(install_dir.launcher, old.read_bytes())
    monkeypatch.setattr(updater, "UPDATE_PATCHES", True, raising=False)
    if key is not None:
        monkeypatch.setattr(updater, "UPDATE_PUBLIC_KEY", key.read_text().splitlines()[1], raising=False)
        install_dir.write(install_dir.launcher + ".minisig", old.with_suffix(".minisig").read_bytes())
    path = updater.download_new_exe_with_progress(lambda *report: None)
    assert https_server.requests(url) == [] and path == install_dir.download
    with open(path, "rb") as f:
        return f.read()


@needs_minisign
def test_signed_releases_patch_revert_and_install(rel, builds, keys, https_server, install_dir, monkeypatch):
    base, far, near = builds
    out = release(base, rel, *signed(keys))
    assert out.returncode == 0, out.stderr
    public = tree(rel / "public")
    assert set(public) == {NAME, NAME + ".sha256", NAME + ".minisig"}
    digest = updater_release.sha256(base.read_bytes())
    assert public[NAME + ".sha256"] == f"{digest}  {NAME}\n".encode()
    base.with_suffix(".minisig").write_bytes(public[NAME + ".minisig"])  # the record base installs with
    out = release(far, rel, *signed(keys))
    assert "more than half" in out.stdout and set(tree(rel / "public")) == set(public)
    out = release(near, rel, *signed(keys), "--comment", "release 3")
    public = tree(rel / "public")
    patches = sorted(p for p in public if p.startswith(NAME + ".patches/"))
    assert len(patches) == 2 and all(f"{len(public[p]):,} bytes" in out.stdout for p in patches)
    assert b"\trelease 3\n" in public[NAME + ".minisig"]
    assert install_through_patch(public, https_server, install_dir, monkeypatch, base, keys / "ours.pub") \
        == near.read_bytes()
    # the same build again changes nothing
    out = release(near, rel, *signed(keys))
    assert "nothing changed" in out.stdout and tree(rel / "public") == public
    # a revert: the earlier build, signed later, patched from the newest (--keep 1)
    signature = rel / "public" / (NAME + ".minisig")
    before = updater_release.signed_time(signature)
    out = release(base, rel, *signed(keys), "--keep", "1")
    reverted = tree(rel / "public")
    assert out.returncode == 0 and reverted[NAME] == base.read_bytes()
    assert updater_release.signed_time(signature) > before
    assert [p for p in reverted if ".patches/" in p] == [f"{NAME}.patches/{updater_release.sha256(near.read_bytes())}.zst"]
    assert sorted(os.listdir(rel / "history")) == sorted(
        [updater_release.sha256(b.read_bytes()) for b in builds] + ["releases"])


def test_unsigned_release_says_so_and_recovers_an_interrupted_one(rel, builds, https_server, install_dir,
                                                                 monkeypatch):
    base, _, near = builds
    assert release(base, rel).returncode == 0
    out = release(near, rel)
    assert out.returncode == 0 and "UPDATE_PUBLIC_KEY set will refuse this release" in out.stderr
    public = tree(rel / "public")
    assert NAME + ".minisig" not in public
    assert install_through_patch(public, https_server, install_dir, monkeypatch, base) == near.read_bytes()
    # a run stopped between its two renames: the next one puts the release back
    os.rename(rel / "public", rel / "public.old")
    os.mkdir(rel / "public.new")
    out = release(near, rel)
    assert "nothing changed" in out.stdout and tree(rel / "public") == public
    assert sorted(os.listdir(rel)) == ["history", "public"]


def later_current_release(root, keys):
    """The current release re-signed an hour ahead of this clock."""
    path = root / "public" / NAME
    signing.run("-S", "-s", str(keys / "ours.key"), "-m", str(path), "-t", f"timestamp:{int(time.time()) + 3600}")


def history_ahead(root):
    """history/ restored without public/'s signature, its last release an hour ahead of this clock."""
    os.remove(root / "public" / (NAME + ".minisig"))
    index = root / "history" / "releases"
    index.write_text(index.read_text() + f"{int(time.time()) + 3600}\t{index.read_text().split()[1]}\n")


# bad input: (what is done, the words of the refusal)
BAD = {
    "a missing build": (lambda b, k, r: ([b[0].parent / "none", r, *signed(k)], {}), "cannot read the build"),
    "a directory as the build": (lambda b, k, r: ([b[0].parent, r, *signed(k)], {}), "cannot read the build"),
    "no minisign": (lambda b, k, r: ([b[2], r, *signed(k)], {"env": {**os.environ, "PATH": str(r / "history")}}),
                    "needs the minisign command"),
    "a wrong password": (lambda b, k, r: ([b[2], r, *signed(k, "pw")], {"input": "wrong\n"}),
                         "could not sign with"),
    "a key that is not the launchers'": (lambda b, k, r: ([b[2], r, "--secret-key", str(k / "other.key"),
                                                            "--public-key", str(k / "ours.pub")], {}),
                                         "does not verify with --public-key"),
    "a file as the release directory": (lambda b, k, r: ([b[2], r / "public" / NAME, *signed(k)], {}),
                                        "is not a directory"),
    "a rollback": (lambda b, k, r: later_current_release(r, k) or ([b[2], r, *signed(k)], {}),
                   "launchers that installed it would refuse the new build as a rollback"),
    "a rollback history/ knows": (lambda b, k, r: history_ahead(r) or ([b[2], r, *signed(k)], {}),
                                  "launchers that installed it would refuse the new build as a rollback"),
}


@needs_minisign
@pytest.mark.parametrize("case", BAD)
def test_bad_input_publishes_nothing(tmp_path, builds, keys, case):
    assert release(builds[0], tmp_path, *signed(keys)).returncode == 0
    make, words = BAD[case]
    args, options = make(builds, keys, tmp_path)
    before = tree(tmp_path)
    out = release(*args, **options)
    assert out.returncode == 2 and words in out.stderr and "nothing was published" in out.stderr, out.stderr
    assert tree(tmp_path) == before and sorted(os.listdir(tmp_path)) == ["history", "public"]


@pytest.mark.no_leakcheck("runs the installed console script")
def test_the_console_script_is_installed():
    script = os.path.join(sysconfig.get_path("scripts"), "updater-release" + (".exe" if WINDOWS else ""))
    # The Windows test interpreter's pip writes its launchers a bare "#!python.exe" (all of
    # them, pytest's too), which they look for from the working directory.
    out = subprocess.run([script, "--help"], capture_output=True, text=True, timeout=120,
                         cwd=os.path.dirname(sys.executable) if WINDOWS else None)
    assert out.returncode == 0 and "RELEASE_DIR" in out.stdout


@needs_minisign
def test_the_same_build_is_signed_anew_when_the_signing_changes(rel, builds, keys):
    base = builds[0]
    signature = rel / "public" / (NAME + ".minisig")
    assert release(base, rel).returncode == 0
    for options, anew in [(signed(keys), True), (signed(keys), False), (signed(keys, "other"), True),
                          ((*signed(keys, "other"), "--comment", "again"), True), ((), False)]:
        before = signature.read_bytes() if signature.exists() else None
        out = release(base, rel, *options)
        assert out.returncode == 0 and ("nothing changed" in out.stdout) != anew, (options, out.stdout)
        assert (signature.read_bytes() != before) == anew
    assert b"\tagain\n" in before and len((rel / "history" / "releases").read_text().splitlines()) == 4


@pytest.mark.skipif(WINDOWS, reason="a symbolic link needs a privilege Windows does not give by default")
def test_a_linked_public_is_published_into_the_directory_it_names(tmp_path, rel, builds):
    base, _, near = builds
    web = tmp_path / "www" / "launcher"
    web.mkdir(parents=True)
    rel.mkdir()
    os.symlink(web, rel / "public")
    assert release(base, rel).returncode == 0 and release(near, rel).returncode == 0
    published = tree(web)
    assert os.path.islink(rel / "public") and published[NAME] == near.read_bytes()
    assert f"{NAME}.patches/{updater_release.sha256(base.read_bytes())}.zst" in published
    # a swap stopped between its renames leaves the link dangling: the next run puts the tree back
    os.rename(web, str(web) + ".old")
    assert "nothing changed" in release(near, rel).stdout and tree(web) == published
    assert os.listdir(tmp_path / "www") == ["launcher"] and sorted(os.listdir(rel)) == ["history", "public"]


# a fault at the swap: (the exit status, whether the new release is out)
SWAP_FAULTS = {"a refused rename (on Windows, a file held open)": (1, False),
               "a failed sync of history/ after the swap": (3, True),
               "an interrupt removing public.old": (3, True)}


@pytest.mark.no_leakcheck("the publisher's command only, which never calls the module")
@pytest.mark.parametrize("case", SWAP_FAULTS)
def test_a_fault_at_the_swap_says_what_was_published(rel, builds, monkeypatch, capsys, case):
    base, far, near = builds
    assert updater_release.main([str(base), str(rel)]) == 0
    before, public, swapped = tree(rel), os.path.join(rel, "public"), []
    rename, fsync, rmtree = os.rename, os.fsync, shutil.rmtree

    def renaming(old, new):
        if "rename" in case and old == public:
            raise PermissionError(13, "Access is denied")
        rename(old, new)
        swapped.append(new == public)

    def syncing(fd):
        if "sync" in case and any(swapped):
            raise OSError(5, "Input/output error")
        fsync(fd)

    def removing(path, *args, **kwargs):
        if "interrupt" in case and path == public + ".old":
            raise KeyboardInterrupt
        rmtree(path, *args, **kwargs)

    monkeypatch.setattr(os, "rename", renaming)
    monkeypatch.setattr(os, "fsync", syncing)
    monkeypatch.setattr(shutil, "rmtree", removing)
    status, published = SWAP_FAULTS[case]
    assert updater_release.main([str(near), str(rel)]) == status
    said = capsys.readouterr().err
    assert ("published, but" in said) == published and ("stays as it was" in said) != published, said
    monkeypatch.undo()
    if not published:
        assert tree(rel) == before
        hand = rel / "history" / updater_release.sha256(far.read_bytes())  # put there by hand, newer
        shutil.copy(far, hand)
        os.utime(hand, (time.time() + 3600,) * 2)
    # the rerun finishes what was left: the release listed last in history/
    assert updater_release.main([str(near), str(rel), "--keep", "1"]) == 0
    out = tree(rel / "public")
    assert out[NAME] == near.read_bytes() and f"{NAME}.patches/{updater_release.sha256(base.read_bytes())}.zst" in out
    index = (rel / "history" / "releases").read_text().splitlines()
    assert index[-1].endswith(updater_release.sha256(near.read_bytes())) and sorted(os.listdir(rel)) == [
        "history", "public"]
