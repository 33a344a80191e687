"""The folder release's core: the executable's archive read, the manifest's
rules, and the round trip from a folder to its blobs."""
import json
import os
import shutil
import struct

import pytest

import signing
from https_fixtures import WINDOWS
from test_release import NAME, keys, release, signed, tree  # noqa: F401 (keys: a fixture)
from updater_release import folder, sha256, signed_time

DIGEST = "ab" * 32
POSIX = os.name == "posix"  # links and executable bits
GOOD = {"format": 1, "build": DIGEST, "size": 10, "folder": "_internal-1.2",
        "files": [{"path": "lib/a.so", "size": 3, "sha256": DIGEST, "exec": True},
                  {"path": "lib/b.so", "link": "a.so"},
                  {"path": "up", "link": "lib/../lib/a.so"},
                  {"path": "données/été.txt", "size": 0, "sha256": DIGEST, "exec": False}]}


def encode(manifest):
    return json.dumps(manifest).encode()


def with_entry(**entry):
    return {**GOOD, "files": GOOD["files"] + [entry]}


def test_a_good_manifest_passes():
    assert folder.check_manifest(encode(GOOD)) == GOOD


BAD_NAMES = ["", ".", "..", "a/b", "a\\b", "c:x", "a<b", "a|b", "a?", "a*", 'a"', "tab\tname", "end.",
             "end ", "nul", "NUL.txt", "com1.dll", "Lpt9", "aux.tar.gz", "x" * 256, "\ud800"]


@pytest.mark.parametrize("name", BAD_NAMES)
def test_every_bad_name_is_refused_as_folder_and_as_path(name):
    with pytest.raises(ValueError):
        folder.check_manifest(encode({**GOOD, "folder": name}))
    if "/" not in name:
        with pytest.raises(ValueError):
            folder.check_manifest(encode(with_entry(path=f"lib/{name}/x", size=1, sha256=DIGEST, exec=False)))


@pytest.mark.parametrize("change", [
    {"path": "/etc/x"}, {"path": "a//b"}, {"path": "a/./b"}, {"path": "a/../b"}, {"path": "a/"},
    {"path": "LIB/A.SO"},  # the same as lib/a.so where case does not count
    {"path": "lib/a.so/inner"}, {"path": "lib"},  # an entry and a directory at once
    {"path": "/".join(["d" * 200] * 6)},  # more than 1024 bytes
    {"size": True}, {"size": -1}, {"size": 1.0}, {"size": (1 << 30) + 1}, {"exec": 0},
    {"sha256": DIGEST.upper()}, {"sha256": DIGEST[:-1]}, {"mode": 0o755},
    {"link": "../../x"}, {"link": "/lib/a.so"}, {"link": ".."}, {"link": "x/../.."}, {"link": ""},
    {"link": "a\\b"}, {"link": "a:b"}, {"size": 1, "link": "x"},
])
def test_bad_entries_are_refused(change):
    entry = {"path": "z/new", "size": 1, "sha256": DIGEST, "exec": False}
    if "link" in change:
        entry = {"path": "z/new"}
    with pytest.raises(ValueError):
        folder.check_manifest(encode(with_entry(**{**entry, **change})))


@pytest.mark.parametrize("data", [
    encode({**GOOD, "format": 2}), encode({**GOOD, "format": True}), encode({**GOOD, "build": "x"}),
    encode({**GOOD, "size": (1 << 30) + 1}), encode({**GOOD, "extra": 1}),
    encode({k: v for k, v in GOOD.items() if k != "size"}), encode([GOOD]),
    encode({**GOOD, "files": [{"path": f"f{i}", "size": 1 << 30, "sha256": DIGEST, "exec": False}
                              for i in range(9)]}),  # 9 GiB in all
    encode(GOOD)[:-1] + b',"size":10}',  # a key given twice
    encode(GOOD).replace(b'"size": 10', b'"size": NaN'),
    encode({**GOOD, "folder": "x"}).replace(b'"x"', b'"\xe9"'),  # not UTF-8
    encode(GOOD) + b" " * (16 << 20),
])
def test_bad_manifests_are_refused(data):
    with pytest.raises(ValueError):
        folder.check_manifest(data)


def test_too_many_entries_are_refused():
    files = [{"path": f"f{i}", "link": "f0"} for i in range(folder.ENTRIES_MAX + 1)]
    with pytest.raises(ValueError, match="entries"):
        folder.check_manifest(encode({**GOOD, "files": files}))


def archive(options, types, trailer=b""):
    """A bootloader stand-in followed by an archive as PyInstaller writes it."""
    head = b"\x7fELF" + bytes(1000) + folder.COOKIE_MAGIC  # the magic in the loader's own code
    toc = b""
    for kind, name in [("o", o) for o in options] + [(t, f"entry-{t}") for t in types]:
        raw = name.encode() + b"\0"
        raw += bytes(-(folder.ENTRY.size + len(raw)) % 16)
        toc += folder.ENTRY.pack(folder.ENTRY.size + len(raw), 0, 0, 0, 0, kind.encode()) + raw
    body = b"payload" * 10
    length = len(body) + len(toc) + folder.COOKIE.size
    cookie = folder.COOKIE.pack(folder.COOKIE_MAGIC, length, len(body), len(toc), 312, b"libpython3.12.so.1.0")
    return head + body + toc + cookie + trailer


@pytest.mark.parametrize("types, onefile", [("smz", False), ("smzb", True), ("smzx", True), ("smzn", True)])
@pytest.mark.parametrize("trailer", [b"", b"\0" * 5000 + b"signature"])
def test_the_archive_names_its_folder_and_kind(types, onefile, trailer):
    data = archive(["pyi-python-flag X", "pyi-contents-directory _internal-7"], types, trailer)
    assert folder.read_frozen(data) == folder.Frozen("_internal-7", onefile, (
        "pyi-python-flag X", "pyi-contents-directory _internal-7"))
    assert folder.read_frozen(archive([], types)).contents is None


@pytest.mark.parametrize("data", [b"", b"\x7fELF" + bytes(5000), archive(["x"], "s")[:-30],
                                  archive(["x"], "s") + bytes(folder.COOKIE_WINDOW)])
def test_other_files_are_no_frozen_build(data):
    assert folder.read_frozen(data) is None


@pytest.fixture
def contents(tmp_path):
    root = tmp_path / "_internal-b1"
    (root / "lib" / "sub").mkdir(parents=True)
    (root / "lib" / "libx.so.1").write_bytes(b"\x7fELF" + os.urandom(300000))
    if POSIX:
        (root / "lib" / "libx.so").symlink_to("libx.so.1")
        (root / "lib" / "sub" / "up.so").symlink_to("../libx.so.1")
        (root / "lib" / "tools").symlink_to("sub")
    (root / "base_library.zip").write_bytes(b"same" * 5000)
    (root / "copy.zip").write_bytes(b"same" * 5000)
    (root / "empty").write_bytes(b"")
    (root / "run.sh").write_bytes(b"#!/bin/sh\n")
    os.chmod(root / "run.sh", 0o755)
    return root


@pytest.mark.no_leakcheck("a thread pool keeps one entry per pool made in its registry; no module code runs")
def test_a_folder_round_trips_to_its_blobs(contents, tmp_path):
    entries = folder.scan(contents)
    data = folder.make_manifest(b"the build", "_internal-b1", entries)
    manifest = folder.check_manifest(data)
    assert json.loads(data) == manifest and data == folder.make_manifest(b"the build", "_internal-b1", entries)
    links = ["lib/libx.so", "lib/sub/up.so", "lib/tools"] if POSIX else []
    assert [e["path"] for e in manifest["files"]] == sorted(
        ["base_library.zip", "copy.zip", "empty", "lib/libx.so.1", "run.sh"] + links)
    by_path = {e["path"]: e for e in manifest["files"]}
    assert by_path["run.sh"]["exec"] == POSIX and not by_path["empty"]["exec"]
    if POSIX:
        assert by_path["lib/sub/up.so"] == {"path": "lib/sub/up.so", "link": "../libx.so.1"}
    out, store = tmp_path / "files", tmp_path / "store"
    blobs = folder.write_blobs(contents, entries, out, store=store)
    assert len(blobs) == 4 and not any(b.reused for b in blobs)  # copy.zip shares a blob
    for entry in manifest["files"]:
        if "sha256" in entry:
            blob = (out / (entry["sha256"] + ".zst")).read_bytes()
            assert folder.decode_blob(blob, entry["size"]) == (contents / entry["path"]).read_bytes()
    # A second release takes its blobs from the store, and compresses again a
    # blob there that does not decode to its file.
    (store / (by_path["run.sh"]["sha256"] + ".zst")).write_bytes(folder.compress_blob(b"#!/bin/sh\nrm -rf /\n"))
    again = folder.write_blobs(contents, entries, tmp_path / "files2", store=store)
    assert [b.reused for b in again] == [b.sha256 != by_path["run.sh"]["sha256"] for b in again]
    assert folder.decode_blob((tmp_path / "files2" / (by_path["run.sh"]["sha256"] + ".zst")).read_bytes()) \
        == b"#!/bin/sh\n"


@pytest.mark.parametrize("blob", [b"", b"\x28\xb5\x2f\xfd\x00\x00", folder.compress_blob(b"x" * 100)[:-5],
                                  folder.compress_blob(b"x" * 100) + b"\0",
                                  b"\x28\xb5\x2f\xfd" + struct.pack("<B", 0x20) + bytes(10)])
def test_blobs_a_launcher_would_refuse(blob):
    with pytest.raises((ValueError, folder._zstd_error())):
        folder.decode_blob(blob, 100)


@pytest.mark.skipif(not POSIX, reason="links and pipes as POSIX makes them")
@pytest.mark.parametrize("make", [
    lambda root: (root / "out").symlink_to("../../etc"),
    lambda root: (root / "abs").symlink_to("/etc/passwd"),
    lambda root: (root / "self").symlink_to("."),
    lambda root: (root / "dangling").symlink_to("nothing"),
    lambda root: os.mkfifo(root / "pipe"),
])
def test_scanning_refuses_what_a_launcher_cannot_make(contents, make):
    from updater_release import Refused
    make(contents)
    with pytest.raises(Refused):
        folder.scan(contents)


@pytest.mark.no_leakcheck("runs the frozen builds; no module code runs in this process")
def test_real_builds_read_as_frozen_and_start_from_their_folders(onedir_builds, frozen_launchers, tmp_path):
    import subprocess
    from frozen_fixtures import read_starts
    from onedir_fixtures import TAGS
    for build in (frozen_launchers.old, frozen_launchers.new):
        assert folder.read_frozen(build).onefile
    for tag in TAGS:
        assert folder.read_frozen(onedir_builds.exe(tag)) == folder.Frozen(
            f"_internal-{tag}", False, (f"pyi-contents-directory _internal-{tag}",))
        launcher = onedir_builds.install(tag, str(tmp_path / tag))
        # Nothing answers there: the update fails once the build has started.
        subprocess.run([launcher, "https://127.0.0.1:9/QuelbaLauncher.exe", "--console"],
                       capture_output=True, timeout=120)
        (start,) = read_starts(str(tmp_path / tag))
        assert (start["version"], start["motd"]) == (tag, "three" if tag in ("b3", "b4") else "one")
        assert os.path.samefile(start["meipass"], tmp_path / tag / f"_internal-{tag}")
        assert ("sqlite" in start) == (tag == "b4")


@pytest.fixture(scope="module")
def released_b1(onedir_builds, tmp_path_factory):
    """A release directory where the folder build b1 is the current release."""
    rel = tmp_path_factory.mktemp("released") / "release"
    assert release(onedir_builds.path("b1"), rel).returncode == 0
    return rel


@pytest.mark.no_leakcheck("the publisher's command only, which never calls the module")
def test_folder_builds_are_released_with_their_contents_signed(onedir_builds, keys, tmp_path):
    rel = tmp_path / "release"
    out = release(onedir_builds.path("b1"), rel, *signed(keys))  # the folder, its executable without ".exe"
    assert out.returncode == 0 and "contents folder _internal-b1" in out.stdout, out.stderr
    first = tree(rel / "public")
    out = release(onedir_builds.exe("b3"), rel, *signed(keys))  # the executable alone: its folder too
    assert out.returncode == 0, out.stderr
    public, exe, manifest_path = tree(rel / "public"), tmp_path / NAME, tmp_path / (NAME + ".contents")
    manifest = folder.check_manifest(public[NAME + ".contents"])
    assert public[NAME] == open(onedir_builds.exe("b3"), "rb").read() and manifest["build"] == sha256(public[NAME])
    assert manifest["folder"] == "_internal-b3" and manifest["size"] == len(public[NAME])
    assert {p for p in public if ".files/" in p} == {f"{NAME}.files/{e['sha256']}.zst" for e in manifest["files"]
                                                     if "sha256" in e}
    # Only data/motd.txt changed: its blob alone is compressed anew, beside the patch of the executable.
    assert "\n  blobs compressed anew: 1 (5 bytes of files," in out.stdout
    assert f"{NAME}.patches/{sha256(first[NAME])}.zst" in public
    for path, name in ((exe, NAME), (manifest_path, NAME + ".contents")):
        path.write_bytes(public[name])
        (tmp_path / (name + ".minisig")).write_bytes(public[name + ".minisig"])
        signing.run("-V", "-p", str(keys / "ours.pub"), "-m", str(path))
    assert signed_time(str(manifest_path) + ".minisig") == signed_time(str(exe) + ".minisig")
    assert sorted(os.listdir(rel / "history" / "contents")) == sorted([sha256(first[NAME]), sha256(public[NAME])])


def copy_build(builds, tmp, extra=None, exe=None):
    """A copy of the folder build b1 in `tmp`, with a file added at `extra` or its executable's bytes `exe`."""
    root = tmp / "b1"
    shutil.copytree(builds.path("b1"), root, symlinks=True)
    if extra:
        (root / extra).write_bytes(b"added")
    if exe is not None:
        (root / os.path.basename(builds.exe("b1"))).write_bytes(exe)
    return root


def exe_naming(builds, contents):
    """b1's executable, naming the contents folder `contents` instead."""
    data = open(builds.exe("b1"), "rb").read()
    option = b"pyi-contents-directory _internal-b1"
    assert data.count(option) == 1
    return data.replace(option, option[:-len("_internal-b1")] + contents.ljust(len("_internal-b1"), b"\0"))


# A folder build refused: (what is released, the words of the refusal)
REFUSED = {
    "no folder beside": (lambda b, f, t: copy_build(b, t, exe=exe_naming(b, b"_internal-x")),
                         "is not a folder beside it"),
    "the executable alone": (lambda b, f, t: shutil.copy(b.exe("b1"), t), "is not a folder beside it"),
    "a flat layout": (lambda b, f, t: copy_build(b, t, exe=exe_naming(b, b".")), "a flat layout"),
    "the name reused with other files": (lambda b, f, t: copy_build(b, t, "_internal-b1/new.txt"),
                                         "released before with other files (new.txt differ)"),
    "a name Windows reserves": (lambda b, f, t: copy_build(b, t, "_internal-b1/CON"), "a name Windows reserves"),
    "a stream name": (lambda b, f, t: copy_build(b, t, "_internal-b1/a:b"), "holds ':'"),  # names Windows refuses
    "an entry beside": (lambda b, f, t: copy_build(b, t, "notes.txt"), "holds notes.txt beside"),
    "a one-file build as a folder": (lambda b, f, t: copy_build(b, t, exe=open(f.new, "rb").read()),
                                     "is a one-file build"),
    "no PyInstaller build": (lambda b, f, t: copy_build(b, t, exe=b"\x7fELF" + bytes(4000)), "no PyInstaller build"),
}


@pytest.mark.no_leakcheck("the publisher's command only, which never calls the module")
@pytest.mark.skipif(WINDOWS, reason="the command's refusals are the same Python everywhere, and each"
                                     " run of it under Wine takes half a minute")
@pytest.mark.parametrize("case", REFUSED)
def test_folder_builds_refused_publish_nothing(onedir_builds, frozen_launchers, released_b1, tmp_path, case):
    rel = tmp_path / "release"
    shutil.copytree(released_b1, rel)
    make, words = REFUSED[case]
    before = tree(rel)
    out = release(make(onedir_builds, frozen_launchers, tmp_path), rel)
    assert out.returncode == 2 and words in out.stderr and "nothing was published" in out.stderr, out.stderr
    assert tree(rel) == before
