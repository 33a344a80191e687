"""A folder build: the executable PyInstaller writes beside its contents folder.

What the release publishes for one, beside the build:

    QuelbaLauncher.exe.contents            the manifest of the contents folder
    QuelbaLauncher.exe.contents.minisig    its signature (with a key)
    QuelbaLauncher.exe.files/<sha256>.zst  each distinct file's bytes

The manifest is one JSON object, written canonically (keys sorted, no spaces,
UTF-8, files sorted by path):

    {"build": "<sha256 of the executable>", "files": [
      {"exec": false, "path": "a/b.so", "sha256": "<sha256>", "size": 123},
      {"link": "b.so", "path": "a/c.so"}],
     "folder": "_internal-1.4.2", "format": 1, "size": <the executable's size>}

Launchers refuse a manifest that breaks any rule `check_manifest` checks, and
so does the release.
"""
import hashlib
import json
import os
import posixpath
import stat
import struct
from concurrent.futures import ThreadPoolExecutor
from typing import NamedTuple

FORMAT = 1
MANIFEST = ".contents"  # suffixes of the build's name
FILES = ".files"

MANIFEST_MAX = 16 << 20
ENTRIES_MAX = 100000
FILE_MAX = 1 << 30
TOTAL_MAX = 8 << 30
BUILD_MAX = 1 << 30
SEGMENT_MAX = 255  # UTF-8 bytes
PATH_MAX = 1024

# Measured on a 3.12 one-dir folder of 60 MB (382 files) on 2 shared cores, two
# threads: level 3 makes 22.9 MB in 1.0 s, level 9 21.4 MB in 1.8 s, level 12 21.3 MB
# in 3.1 s, level 15 21.0 MB in 8.5 s, level 19 18.6 MB in 28 s. Level 9 keeps a
# first release to seconds; later ones compress only the files that changed.
LEVEL = 9
THREADS = min(4, os.cpu_count() or 1)
CHUNK = 65536
ZSTD_MAGIC = b"\x28\xb5\x2f\xfd"

# The archive PyInstaller appends to its bootloader: entries, their table, then
# the cookie that locates both, at the end of the archive.
COOKIE_MAGIC = b"MEI\014\013\012\013\016"
COOKIE = struct.Struct("!8sIIII64s")  # magic, archive length, table offset and length, python, libpython
ENTRY = struct.Struct("!IIIIBc")  # entry length, offset, length, unpacked length, compressed, type
# Signatures and overlays may follow the archive in a Windows executable: the
# cookie is looked for in this much of the file's end.
COOKIE_WINDOW = 8 << 20
# Entry types that carry the contents of a one-file build: binaries, data, zip
# files, dependencies on other archives and links.
PACKED_TYPES = frozenset(b"bxZdn")
CONTENTS_OPTION = "pyi-contents-directory "

RESERVED = frozenset(["con", "prn", "aux", "nul"] + [f"{d}{i}" for d in ("com", "lpt") for i in range(1, 10)])
FORBIDDEN = frozenset('/\\:<>"|?*')
HEX = frozenset("0123456789abcdef")
FILE_KEYS = frozenset(["path", "size", "sha256", "exec"])
LINK_KEYS = frozenset(["path", "link"])
TOP_KEYS = frozenset(["format", "build", "size", "folder", "files"])


class Frozen(NamedTuple):
    """What a PyInstaller executable says of itself: the name of its contents
    folder (None when it names none: a flat one-dir build), whether its archive
    packs binaries or data (a one-file build) and its runtime options."""
    contents: str | None
    onefile: bool
    options: tuple


def read_frozen(build):
    """The Frozen of a PyInstaller executable, given as bytes or as a path; None
    for anything else."""
    if isinstance(build, (bytes, bytearray, memoryview)):
        return _read_archive(bytes(build))
    with open(build, "rb") as f:
        return _read_archive(f.read())


def _read_archive(data):
    # Scan back from the end for a cookie whose archive lies inside the file.
    end = len(data)
    floor = max(0, end - COOKIE_WINDOW)
    while True:
        at = data.rfind(COOKIE_MAGIC, floor, end)
        if at < 0:
            return None
        end = at + len(COOKIE_MAGIC) - 1
        if at + COOKIE.size > len(data):
            continue
        _, length, toc_at, toc_length, _, pylib = COOKIE.unpack_from(data, at)
        start = at + COOKIE.size - length
        if not pylib.strip(b"\0") or start < 0 or toc_at + toc_length > length - COOKIE.size:
            continue
        table = _read_table(data[start + toc_at:start + toc_at + toc_length])
        if table is not None:
            break
    options, types = table
    contents = None
    for option in options:
        if option.startswith(CONTENTS_OPTION):
            contents = option[len(CONTENTS_OPTION):]
    return Frozen(contents, bool(types & PACKED_TYPES), tuple(options))


def _read_table(toc):
    """(runtime options, the set of entry types) of the archive's table, or None
    when it is not one."""
    options, types, at = [], set(), 0
    while at < len(toc):
        if at + ENTRY.size > len(toc):
            return None
        length, _, _, _, _, kind = ENTRY.unpack_from(toc, at)
        if length < ENTRY.size or at + length > len(toc):
            return None
        name = toc[at + ENTRY.size:at + length].rstrip(b"\0")
        at += length
        if kind == b"o":
            try:
                options.append(name.decode("utf-8"))
            except UnicodeDecodeError:
                return None
        else:
            types.add(kind[0])
    return options, types


def check_segment(name, what):
    """Raises ValueError when `name` cannot be one segment of a path in the
    folder (or the folder's own name) on every platform launchers run on."""
    if not isinstance(name, str) or not name:
        raise ValueError(f"{what}: an empty name")
    if name in (".", ".."):
        raise ValueError(f"{what}: {name!r} is not a name")
    bad = [c for c in name if c in FORBIDDEN or c < " "]
    if bad:
        raise ValueError(f"{what}: {name!r} holds {bad[0]!r}")
    if name[-1] in ". ":
        raise ValueError(f"{what}: {name!r} ends in {name[-1]!r}")
    if name.split(".")[0].lower() in RESERVED:
        raise ValueError(f"{what}: {name!r} is a name Windows reserves")
    if len(_utf8(name, what)) > SEGMENT_MAX:
        raise ValueError(f"{what}: {name[:40]!r}... is longer than {SEGMENT_MAX} bytes")


def _utf8(text, what):
    try:
        return text.encode("utf-8")
    except UnicodeEncodeError:
        raise ValueError(f"{what}: {text!r} is not valid Unicode") from None


def check_path(path, what="path"):
    """Raises ValueError when `path` is not a relative "/"-separated path inside
    the folder."""
    if not isinstance(path, str):
        raise ValueError(f"{what}: {path!r} is not a string")
    if len(_utf8(path, what)) > PATH_MAX:
        raise ValueError(f"{what}: {path[:40]!r}... is longer than {PATH_MAX} bytes")
    for segment in path.split("/"):
        check_segment(segment, f"{what} {path!r}")


def link_target(path, link):
    """The path inside the folder that the link at `path` names, resolved
    lexically; ValueError when it is not one."""
    what = f"link {path!r}"
    if not isinstance(link, str) or not link:
        raise ValueError(f"{what}: an empty target")
    if link.startswith("/"):
        raise ValueError(f"{what}: the target {link!r} is absolute")
    if len(_utf8(link, what)) > PATH_MAX:
        raise ValueError(f"{what}: the target is longer than {PATH_MAX} bytes")
    # a/b + ../c -> a/c: every ".." takes one segment off, never past the folder.
    parts = path.split("/")[:-1]
    for segment in link.split("/"):
        if segment == "..":
            if not parts:
                raise ValueError(f"{what}: the target {link!r} leads out of the folder")
            parts.pop()
        else:
            check_segment(segment, f"{what} to {link!r}")
            parts.append(segment)
    if not parts:
        raise ValueError(f"{what}: the target {link!r} is the folder itself")
    return "/".join(parts)


def _digest(value):
    return isinstance(value, str) and len(value) == 64 and set(value) <= HEX


def _size(value):
    return type(value) is int and value >= 0


def _object(pairs):
    keys = [k for k, _ in pairs]
    if len(set(keys)) != len(keys):
        raise ValueError(f"a key given twice in one object: {sorted(keys)}")
    return dict(pairs)


def _constant(name):
    raise ValueError(f"{name} is not a number")


def check_manifest(data):
    """The manifest in `data` (bytes) as a dict, checked against every rule
    launchers apply; ValueError saying which rule it breaks."""
    if len(data) > MANIFEST_MAX:
        raise ValueError(f"the manifest is {len(data)} bytes, more than {MANIFEST_MAX}")
    try:
        manifest = json.loads(bytes(data).decode("utf-8"), object_pairs_hook=_object,
                              parse_constant=_constant)
    except UnicodeDecodeError:
        raise ValueError("the manifest is not UTF-8") from None
    except json.JSONDecodeError as e:
        raise ValueError(f"the manifest is not JSON: {e}") from None
    if not isinstance(manifest, dict) or set(manifest) != TOP_KEYS:
        keys = sorted(manifest) if isinstance(manifest, dict) else type(manifest).__name__
        raise ValueError(f"the manifest must hold exactly {sorted(TOP_KEYS)}, not {keys}")
    if type(manifest["format"]) is not int or manifest["format"] != FORMAT:
        raise ValueError(f"format {manifest['format']!r} is not {FORMAT}")
    if not _digest(manifest["build"]):
        raise ValueError(f"build {manifest['build']!r} is not a SHA-256 in lower-case hex")
    if not _size(manifest["size"]) or manifest["size"] > BUILD_MAX:
        raise ValueError(f"the build's size {manifest['size']!r} is not a size up to {BUILD_MAX}")
    check_segment(manifest["folder"], "folder")
    files = manifest["files"]
    if not isinstance(files, list):
        raise ValueError("files is not a list")
    if len(files) > ENTRIES_MAX:
        raise ValueError(f"{len(files)} entries, more than {ENTRIES_MAX}")
    total, seen = 0, {}
    for entry in files:
        if not isinstance(entry, dict):
            raise ValueError(f"an entry is not an object: {entry!r}")
        check_path(entry.get("path"))
        path = entry["path"]
        if set(entry) == FILE_KEYS:
            if not _size(entry["size"]) or entry["size"] > FILE_MAX:
                raise ValueError(f"{path!r}: size {entry['size']!r} is not a size up to {FILE_MAX}")
            if not _digest(entry["sha256"]):
                raise ValueError(f"{path!r}: sha256 {entry['sha256']!r} is not lower-case hex")
            if type(entry["exec"]) is not bool:
                raise ValueError(f"{path!r}: exec {entry['exec']!r} is not true or false")
            total += entry["size"]
        elif set(entry) == LINK_KEYS:
            link_target(path, entry["link"])
        else:
            raise ValueError(f"{path!r}: an entry holds exactly {sorted(FILE_KEYS)} or {sorted(LINK_KEYS)},"
                             f" not {sorted(entry)}")
        key = path.casefold()
        if key in seen:
            raise ValueError(f"{path!r} and {seen[key]!r} are one name where case does not count")
        seen[key] = path
    if total > TOTAL_MAX:
        raise ValueError(f"the files come to {total} bytes, more than {TOTAL_MAX}")
    # A file or link cannot also be a directory of another entry.
    for key, path in seen.items():
        parts = key.split("/")
        for n in range(1, len(parts)):
            above = "/".join(parts[:n])
            if above in seen:
                raise ValueError(f"{seen[above]!r} is an entry and a directory of {path!r}")
    return manifest


def scan(folder, refused=None):
    """The manifest entries of the contents folder at `folder`, sorted by path:
    regular files with their size, SHA-256 and executable bit, and links whose
    target lies inside the folder. Anything else is refused: raises Refused
    (from the package) saying what."""
    if refused is None:
        from updater_release import Refused as refused
    root = os.path.realpath(folder)
    entries = []

    def walk(directory, relative):
        try:
            listing = sorted(os.scandir(directory), key=lambda e: e.name)
        except OSError as e:
            raise refused(f"cannot read {directory}: {e.strerror or e}") from None
        for item in listing:
            path = relative + item.name
            shown = os.path.join(folder, *path.split("/"))
            if item.is_junction():
                raise refused(f"{shown} is a junction: a folder build holds none")
            if item.is_symlink():
                target = os.readlink(item.path)
                if os.sep != "/":
                    target = target.replace(os.sep, "/")
                try:
                    inside = link_target(path, target)
                except ValueError as e:
                    raise refused(f"{shown}: {e}") from None
                real = os.path.realpath(item.path)
                if not os.path.exists(real) or os.path.commonpath([root, real]) != root or real == root:
                    raise refused(f"{shown}: the link to {target!r} leads to nothing inside the folder"
                                  f" (it resolves to {inside!r})")
                entries.append({"path": path, "link": target})
            elif item.is_dir(follow_symlinks=False):
                walk(item.path, path + "/")
            elif item.is_file(follow_symlinks=False):
                mode = item.stat(follow_symlinks=False).st_mode
                try:
                    digest, size = _hash_file(item.path)
                except OSError as e:
                    raise refused(f"cannot read {shown}: {e.strerror or e}") from None
                entries.append({"path": path, "size": size, "sha256": digest,
                                "exec": bool(mode & stat.S_IXUSR)})
            else:
                raise refused(f"{shown} is neither a file, a directory nor a link: a folder build"
                              f" holds no other kind")

    walk(folder, "")
    entries.sort(key=lambda e: e["path"])
    return entries


def _hash_file(path):
    h, size = hashlib.sha256(), 0
    with open(path, "rb") as f:
        while chunk := f.read(1 << 20):
            h.update(chunk)
            size += len(chunk)
    return h.hexdigest(), size


def make_manifest(build, folder_name, entries):
    """The canonical manifest bytes of the contents folder `folder_name` holding
    `entries` (as `scan` makes them) for the executable whose bytes are `build`,
    checked as a launcher checks them: ValueError saying what a launcher would
    refuse."""
    manifest = {"format": FORMAT, "build": hashlib.sha256(build).hexdigest(), "size": len(build),
                "folder": folder_name, "files": sorted(entries, key=lambda e: e["path"])}
    data = json.dumps(manifest, sort_keys=True, separators=(",", ":"), ensure_ascii=False).encode("utf-8")
    check_manifest(data)
    return data


def compress_blob(data, level=LEVEL):
    """One zstd frame of `data` with its content size and a checksum."""
    from updater_release import zstd_module
    zstd = zstd_module()
    p = zstd.CompressionParameter
    return zstd.compress(data, options={p.compression_level: level, p.content_size_flag: 1,
                                        p.checksum_flag: 1})


def decode_blob(blob, size=None):
    """The bytes of a blob, decoded as a launcher decodes it: one frame that
    declares its size (`size` when given) and carries a checksum, at most 64 KiB
    of output per step, nothing after it. ValueError saying why a launcher would
    refuse it."""
    from updater_release import zstd_module
    zstd = zstd_module()
    if blob[:4] != ZSTD_MAGIC or len(blob) < 6:
        raise ValueError("not a zstd frame")
    if not blob[4] & 0x04:
        raise ValueError("the frame carries no checksum")
    declared = zstd.get_frame_info(blob).decompressed_size
    if declared is None or declared > FILE_MAX or (size is not None and declared != size):
        raise ValueError(f"the frame declares {declared} bytes, not {size}")
    decompressor = zstd.ZstdDecompressor()
    out, made = [], 0
    data = blob
    while not decompressor.eof:
        chunk = decompressor.decompress(data, CHUNK)
        data = b""
        made += len(chunk)
        if made > declared:
            raise ValueError("the frame makes more than it declares")
        out.append(chunk)
        if not chunk and decompressor.needs_input and not decompressor.eof:
            raise ValueError("the frame is cut short")
    if decompressor.unused_data:
        raise ValueError("bytes follow the frame")
    if made != declared:
        raise ValueError("the frame makes less than it declares")
    return b"".join(out)


class Blob(NamedTuple):
    sha256: str
    size: int
    stored: int  # the blob's size
    reused: bool  # taken from the store, not compressed again


def write_blobs(folder, entries, out, store=None, level=LEVEL, threads=THREADS):
    """Writes into directory `out` the blob `<sha256>.zst` of each distinct
    file among `entries` (as `scan` made them from `folder`). A blob the
    directory `store` already holds is taken from there once it decodes to the
    file; every other one is compressed, and also kept in `store`. Each blob
    written is proven by decoding. Returns the Blobs, sorted by digest; raises
    Refused (from the package) when a file changed since the scan."""
    from updater_release import Refused
    files = {}
    for entry in entries:
        if "sha256" in entry:
            files.setdefault(entry["sha256"], entry)
    os.makedirs(out, exist_ok=True)
    if store is not None:
        os.makedirs(store, exist_ok=True)

    def one(item):
        digest, entry = item
        with open(os.path.join(folder, *entry["path"].split("/")), "rb") as f:
            data = f.read()
        if hashlib.sha256(data).hexdigest() != digest:
            raise Refused(f"{entry['path']} changed while it was released")
        name = digest + ".zst"
        blob = None
        if store is not None:
            try:
                with open(os.path.join(store, name), "rb") as f:
                    kept = f.read()
                if decode_blob(kept, len(data)) == data:
                    blob = kept
            except (OSError, ValueError, _zstd_error()):
                pass
        reused = blob is not None
        if blob is None:
            blob = compress_blob(data, level)
            if decode_blob(blob, len(data)) != data:
                raise Refused(f"the blob of {entry['path']} does not decode to it")
            if store is not None:
                _write(os.path.join(store, name), blob)
        _write(os.path.join(out, name), blob)
        return Blob(digest, len(data), len(blob), reused)

    with ThreadPoolExecutor(max(1, threads)) as pool:
        done = list(pool.map(one, sorted(files.items())))
    return done


def _write(path, data):
    part = path + ".part"
    with open(part, "wb") as f:
        f.write(data)
        f.flush()
        os.fsync(f.fileno())
    os.replace(part, path)


def _zstd_error():
    from updater_release import zstd_module
    return zstd_module().ZstdError


class Build(NamedTuple):
    """A folder build found for release: the executable, the folder that holds
    it and the name of its contents folder there."""
    exe: str
    root: str
    contents: str

    @property
    def folder(self):
        return os.path.join(self.root, self.contents)


def find_build(path, name):
    """The Build that `path` gives: a folder build's folder, or a one-dir
    executable standing beside its contents folder. None for anything the
    command releases as one file. Raises Refused (from the package) saying why
    a folder or a one-dir executable cannot be released."""
    from updater_release import Refused
    if os.path.isdir(path):
        # The executable is --name; a build frozen for Linux or macOS lacks ".exe".
        names = [name] + ([name[:-4]] if name.lower().endswith(".exe") and len(name) > 4 else [])
        found = [n for n in names if os.path.isfile(os.path.join(path, n))]
        if not found:
            raise Refused(f"cannot read the build {path} as a folder build: it holds no executable"
                          f" {' or '.join(names)} (--name names it)")
        exe, root = os.path.join(path, found[0]), path
        frozen = _frozen(exe, Refused)
        if frozen is None:
            raise Refused(f"{exe} is no PyInstaller build: a folder build is the executable PyInstaller writes"
                          f" beside its contents folder")
        if frozen.onefile:
            raise Refused(f"{exe} is a one-file build, not a folder build: release the file itself")
    else:
        try:
            frozen = _frozen(path, Refused)
        except Refused:
            return None  # read_build says why it cannot be read
        if frozen is None or frozen.onefile:
            return None
        exe, root = path, os.path.dirname(os.path.abspath(path))
    # A one-dir build, never released as one file: its folder stands beside it.
    contents = frozen.contents
    if contents in (None, "."):
        raise Refused(f"{exe} is a one-dir build whose files lie beside it (a flat layout), which cannot be"
                      f" updated beside a running build: freeze it with --contents-directory and a name per"
                      f" build")
    try:
        check_segment(contents, "the contents folder")
    except ValueError as e:
        raise Refused(f"{exe} names a contents folder that launchers refuse: {e}") from None
    folder = os.path.join(root, contents)
    if os.path.islink(folder) or not os.path.isdir(folder):
        raise Refused(f"{exe} is a one-dir build, and its contents folder {contents} is not a folder beside it"
                      f" in {root}: release the folder PyInstaller wrote, whole")
    others = sorted(set(os.listdir(root)) - {os.path.basename(exe), contents})
    if others:
        raise Refused(f"the folder build {root} holds {', '.join(others)} beside {os.path.basename(exe)} and its"
                      f" contents folder {contents}: a folder build holds those two alone")
    return Build(exe, root, contents)


def _frozen(path, refused):
    try:
        return read_frozen(path)
    except OSError as e:
        raise refused(f"cannot read the build {path}: {e.strerror or e}") from None


def released_folders(manifests):
    """{casefolded folder name: (folder name, files, where)} of the manifests
    given as (where, bytes) pairs. Raises Refused (from the package) for one
    that is not a manifest: the names it used would be lost."""
    from updater_release import Refused
    folders = {}
    for where, data in manifests:
        try:
            manifest = json.loads(data.decode("utf-8"))
            name, files = manifest["folder"], manifest["files"]
        except (ValueError, TypeError, KeyError) as e:
            raise Refused(f"{where} is not a manifest ({e}): restore it, or remove it when no launcher may"
                          f" run that release") from None
        folders.setdefault(str(name).casefold(), (name, files, where))
    return folders
