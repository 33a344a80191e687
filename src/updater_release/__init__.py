"""updater-release: the publisher's command. Makes the tree to upload for a new
launcher build: the build, its SHA-256, its minisign signature and the zstd
patches that make it from the builds released before.

    updater-release NEW_BUILD RELEASE_DIR [--secret-key FILE --public-key FILE]
                    [--keep N] [--comment TEXT] [--name NAME]

RELEASE_DIR/public/ is exactly what to upload at the directory of UPDATE_URL:

    QuelbaLauncher.exe                     the build
    QuelbaLauncher.exe.sha256              its digest, as sha256sum writes it
    QuelbaLauncher.exe.minisig             its signature (with a key)
    QuelbaLauncher.exe.patches/<sha256 of an earlier build>.zst

A launcher asks for each file beside the build at the build's URL with the
suffix added to its path, the query and fragment kept as they are
(.../QuelbaLauncher.exe.minisig?channel=beta).

RELEASE_DIR/history/ keeps every build released, named by its SHA-256, and in
`releases` one line per release ("<time>\\t<sha256>"). They are the bases of the
patches and are never uploaded; the newest --keep of them get a patch.
"""
import argparse
import base64
import binascii
import datetime
import hashlib
import os
import shutil
import subprocess
import sys
import time

NAME = "QuelbaLauncher.exe"
KEEP = 5
LEVEL = 19
WINDOW_LOG = 31  # a window of up to 2 GiB: launchers decode with window_log_max 31
CHUNK = 65536  # launchers decode a patch in steps of at most this much output
CONTENT_MAX = 1 << 30  # launchers refuse a patch that declares more
ZSTD_MAGIC = b"\x28\xb5\x2f\xfd"
INDEX = "releases"


class Refused(Exception):
    """A release that cannot be made as asked: said, exit status 2, nothing published."""


def zstd_module():
    if sys.version_info >= (3, 14):
        from compression import zstd
    else:
        from backports import zstd
    return zstd


def make_patch(old, new):
    """The patch launchers read: one zstd frame that makes `new` with `old` as its
    raw prefix, level 19, long-distance matching in a window of up to 2 GiB, with
    the content size and a checksum in the frame."""
    zstd = zstd_module()
    p = zstd.CompressionParameter
    options = {p.compression_level: LEVEL, p.window_log: WINDOW_LOG, p.enable_long_distance_matching: 1,
               p.content_size_flag: 1, p.checksum_flag: 1}
    return zstd.compress(new, options=options, zstd_dict=zstd.ZstdDict(old, is_raw=True).as_prefix)


def apply_patch(old, patch):
    """The build `patch` makes from `old`, decoded as a launcher decodes it: the
    frame header checked first, then at most 64 KiB of output per step, never
    more than the frame declares, and nothing after the frame. Raises
    ValueError saying why a launcher would refuse the patch."""
    zstd = zstd_module()
    if patch[:4] != ZSTD_MAGIC or len(patch) < 6:
        raise ValueError("not a zstd frame")
    if not patch[4] & 0x04:
        raise ValueError("the frame carries no checksum")
    size = zstd.get_frame_info(patch).decompressed_size
    if size is None or not 0 < size <= CONTENT_MAX:
        raise ValueError("the frame declares no size, or one launchers refuse")
    decompressor = zstd.ZstdDecompressor(zstd.ZstdDict(old, is_raw=True).as_prefix,
                                         {zstd.DecompressionParameter.window_log_max: WINDOW_LOG})
    out, made, at = [], 0, CHUNK
    data = patch[:CHUNK]
    while True:
        chunk = decompressor.decompress(data, CHUNK)
        made += len(chunk)
        if made > size:
            raise ValueError("the frame makes more than it declares")
        out.append(chunk)
        if decompressor.eof:
            break
        data = b""
        if decompressor.needs_input:
            data, at = patch[at:at + CHUNK], at + CHUNK
            if not data:
                raise ValueError("the frame is cut short")
    if decompressor.unused_data or at < len(patch):
        raise ValueError("bytes follow the frame")
    if made != size:
        raise ValueError("the frame makes less than it declares")
    return b"".join(out)


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def reason(error):
    return error.strerror or str(error) if isinstance(error, OSError) else str(error)


def read_build(path):
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as e:
        raise Refused(f"cannot read the build {path}: {reason(e)}") from None
    if not data:
        raise Refused(f"the build {path} is empty")
    return data


def write_file(path, data, like=None):
    """Writes `data` at `path` through a temporary file, synced, then renamed into
    place; with the permission bits of the file `like` when given, but always
    writable by its owner, so that a later run can remove it."""
    part = path + ".part"
    with open(part, "wb") as f:
        f.write(data)
        f.flush()
        os.fsync(f.fileno())
    if like is not None:
        os.chmod(part, os.stat(like).st_mode & 0o777 | 0o600)
    os.replace(part, path)


def when(seconds):
    return datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc).strftime("%Y-%m-%d %H:%M:%S UTC")


def signed_time(path):
    """The time in the trusted comment of the signature file at `path`, or None."""
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            lines = f.read().splitlines()
    except FileNotFoundError:
        return None
    prefix = "trusted comment: timestamp:"
    for line in lines:
        if line.startswith(prefix):
            field = line[len(prefix):].split("\t")[0]
            return int(field) if field.isdigit() else None
    return None


class Signer:
    """The minisign command with the secret key, and the public key the launchers
    carry, which every new signature must verify with."""

    def __init__(self, secret_key, public_key):
        self.minisign = shutil.which("minisign")
        if self.minisign is None:
            raise Refused("signing needs the minisign command, which is not on PATH")
        self.secret_key, self.public_key = secret_key, public_key
        try:
            with open(secret_key, "rb"):
                pass
            with open(public_key, encoding="utf-8") as f:
                lines = f.read().splitlines()
        except (OSError, UnicodeDecodeError) as e:
            raise Refused(f"cannot read the key {e.filename or public_key}: {reason(e)}") from None
        try:
            raw = base64.b64decode(lines[1].strip(), validate=True)
        except (IndexError, binascii.Error):
            raw = b""
        if len(raw) != 42 or raw[:2] != b"Ed":
            raise Refused(f"{public_key} is not a minisign public key")
        self.key_id = raw[2:10][::-1].hex().upper()

    def sign(self, path, comment):
        """Signs the file at `path` into path + ".minisig"; minisign asks for the
        key's password itself, on the terminal (or reads it from standard input)."""
        signature = path + ".minisig"
        signing = subprocess.run([self.minisign, "-S", "-s", self.secret_key, "-m", path, "-x", signature,
                                  "-t", comment], stdout=subprocess.DEVNULL)
        if signing.returncode != 0:
            raise Refused(f"minisign could not sign with {self.secret_key} (a wrong password?)")
        check = subprocess.run([self.minisign, "-V", "-p", self.public_key, "-m", path, "-x", signature],
                               stdin=subprocess.DEVNULL, capture_output=True, text=True)
        if check.returncode != 0:
            said = " ".join((check.stderr + check.stdout).split())
            raise Refused(f"the new signature does not verify with --public-key {self.public_key}, the key"
                          f" the launchers carry: {self.secret_key} is not its secret key ({said})")


def recover(root, public):
    """Finishes what an interrupted run left: the previous release back at public/
    when the swap stopped half-way, and the unfinished new tree removed."""
    old, staging = public + ".old", os.path.join(root, "public.new")
    if os.path.isdir(old):
        if os.path.isdir(public):
            shutil.rmtree(old)
        else:
            os.rename(old, public)
    if os.path.exists(staging):
        shutil.rmtree(staging)
    return staging


def released(history):
    """[(sha256, time of its last release)] of the builds kept in history, newest
    first; a build put there by hand counts from its file's time."""
    times = {}
    try:
        with open(os.path.join(history, INDEX), encoding="utf-8") as f:
            for line in f:
                fields = line.split("\t")
                if len(fields) >= 2 and fields[0].isdigit():
                    times[fields[1].strip()] = int(fields[0])
    except FileNotFoundError:
        pass
    builds = {}
    for name in os.listdir(history):
        path = os.path.join(history, name)
        if len(name) == 64 and all(c in "0123456789abcdef" for c in name) and os.path.isfile(path):
            builds[name] = times.get(name, int(os.stat(path).st_mtime))
    return sorted(builds.items(), key=lambda item: item[1], reverse=True)


def note_release(history, digest, seconds):
    with open(os.path.join(history, INDEX), "a", encoding="utf-8") as f:
        f.write(f"{seconds}\t{digest}\n")
        f.flush()
        os.fsync(f.fileno())


def keep_in_history(history, data, digest, like=None):
    path = os.path.join(history, digest)
    if not os.path.isfile(path):
        write_file(path, data, like)


def release_time(previous, signing):
    """The time of the new release: now, or the next second when the current
    release was signed in this one, so that the new signature is always the later
    one. With a key, a current release signed later than now is refused: the
    launchers that installed it would refuse the new build as a rollback."""
    now = int(time.time())
    if signing and previous is not None and now < previous:
        raise Refused(f"the current release was signed at {previous} ({when(previous)}), after this"
                      f" clock's {now} ({when(now)}): launchers that installed it would refuse the new"
                      f" build as a rollback")
    if signing and previous == now:
        time.sleep(max(0.0, now + 1 - time.time()))
        now += 1
    return now


def patches(build, digest, history, keep, out):
    """Writes into `out` the patch from each of the newest `keep` earlier builds,
    each proven first; returns the rows of the table: (sha256 of the base, when
    it was released, the patch's size or None, a note)."""
    rows = []
    for base, seconds in [item for item in released(history) if item[0] != digest][:keep]:
        with open(os.path.join(history, base), "rb") as f:
            old = f.read()
        if sha256(old) != base:
            rows.append((base, seconds, None, "left out: the file in history/ does not match its name"))
            continue
        patch = make_patch(old, build)
        share = 100 * len(patch) / len(build)
        if 2 * len(patch) > len(build):
            rows.append((base, seconds, None, f"left out: {share:.2f} % of the build, more than half"))
            continue
        try:
            proven = sha256(apply_patch(old, patch)) == digest
        except (ValueError, zstd_module().ZstdError) as e:
            proven, why = False, str(e)
        else:
            why = "it makes another build"
        if not proven:
            rows.append((base, seconds, None, f"left out: it does not decode to the build ({why})"))
            continue
        os.makedirs(out, exist_ok=True)
        write_file(os.path.join(out, base + ".zst"), patch)
        rows.append((base, seconds, len(patch), f"{share:.2f} %"))
    return rows


def release(args):
    build = read_build(args.build)
    root = args.release_dir
    if os.path.exists(root) and not os.path.isdir(root):
        raise Refused(f"the release directory {root} is not a directory")
    signer = Signer(args.secret_key, args.public_key) if args.secret_key else None
    public, history = os.path.join(root, "public"), os.path.join(root, "history")
    os.makedirs(history, exist_ok=True)
    staging = recover(root, public)
    digest, name = sha256(build), args.name
    current = os.path.join(public, name)
    try:
        with open(current, "rb") as f:
            current_build = f.read()
    except FileNotFoundError:
        current_build = None
    previous = signed_time(current + ".minisig")
    current_digest = current_build and sha256(current_build)
    if current_digest == digest:
        print(f"updater-release: {name} {digest[:16]} is the current release already: nothing changed")
        return 0
    seconds = release_time(previous, signer is not None)
    # The current release is always a base, though an earlier run did not make it.
    if current_digest and current_digest not in dict(released(history)):
        keep_in_history(history, current_build, current_digest, current)
        note_release(history, current_digest, previous or int(os.stat(current).st_mtime))
    comment = f"timestamp:{seconds}\t{args.comment}"

    os.mkdir(staging)
    try:
        target = os.path.join(staging, name)
        write_file(target, build, args.build)
        write_file(target + ".sha256", f"{digest}  {name}\n".encode())
        if signer:
            signer.sign(target, comment)
        rows = patches(build, digest, history, args.keep, target + ".patches")
        keep_in_history(history, build, digest, args.build)
        # The swap: a run stopped between the renames leaves public.old whole,
        # and the next run puts it back first.
        old = public + ".old"
        if os.path.isdir(public):
            os.rename(public, old)
        try:
            os.rename(staging, public)
        except OSError:
            if os.path.isdir(old):
                os.rename(old, public)
            raise
    finally:
        shutil.rmtree(staging, ignore_errors=True)
    note_release(history, digest, seconds)
    shutil.rmtree(public + ".old", ignore_errors=True)
    report(args, build, digest, seconds, rows, signer, public)
    return 0


def report(args, build, digest, seconds, rows, signer, public):
    name = args.name
    print(f"updater-release: {name} {digest[:16]} ({len(build):,} bytes)")
    if signer:
        shown = f"timestamp:{seconds}\t{args.comment}".replace("\t", "\\t")
        print(f"  signed at {seconds} ({when(seconds)}) with key {signer.key_id}, trusted comment \"{shown}\"")
    else:
        print(f"  released at {seconds} ({when(seconds)}), NOT signed: launchers with UPDATE_PUBLIC_KEY"
              " set will refuse this release", file=sys.stderr)
    if rows:
        print(f"  {'base build (sha256)':<20} {'released':<23} {'patch':>14}  share of the build")
        for base, at, size, note in rows:
            patch = f"{size:,} bytes" if size is not None else "-"
            print(f"  {base[:16] + '...':<20} {when(at):<23} {patch:>14}  {note}")
    else:
        print("  no earlier build in history/: no patches")
    print(f"Upload {public}{os.sep} at the directory of UPDATE_URL (launchers add each suffix to the"
          f" URL's path, its query kept):")
    for folder, _, files in sorted(os.walk(public)):
        for file in sorted(files):
            print("  " + os.path.relpath(os.path.join(folder, file), public).replace(os.sep, "/"))


def parser():
    p = argparse.ArgumentParser(
        prog="updater-release",
        description="Makes RELEASE_DIR/public/, the tree to upload at the directory of UPDATE_URL: the "
                    "build, its .sha256, its .minisig (with a key) and the patches from the builds "
                    "released before, which RELEASE_DIR/history/ keeps.")
    p.add_argument("build", metavar="NEW_BUILD", help="the new launcher build")
    p.add_argument("release_dir", metavar="RELEASE_DIR", help="the release directory (made when missing)")
    p.add_argument("--secret-key", metavar="FILE", help="minisign secret key to sign with")
    p.add_argument("--public-key", metavar="FILE",
                   help="minisign public key the launchers carry: the signature must verify with it")
    p.add_argument("--keep", metavar="N", type=int, default=KEEP,
                   help=f"patches from the newest N earlier builds (default {KEEP})")
    p.add_argument("--comment", metavar="TEXT",
                   help="the trusted comment after the time (default: file:NAME and hashed)")
    p.add_argument("--name", default=NAME,
                   help=f"the build's name, the last path segment of UPDATE_URL (default {NAME})")
    return p


def main(argv=None):
    p = parser()
    args = p.parse_args(argv)
    if (args.secret_key is None) != (args.public_key is None):
        p.error("--secret-key and --public-key go together")
    if args.keep < 0:
        p.error("--keep must not be negative")
    if args.name in ("", ".", "..") or any(c in args.name for c in "/\\\0"):
        p.error(f"--name must be a file name: {args.name!r}")
    if args.comment is None:
        args.comment = f"file:{args.name}\thashed"
    if "\n" in args.comment or "\r" in args.comment:
        p.error("--comment must be one line")
    try:
        return release(args)
    except Refused as e:
        print(f"updater-release: {e}; nothing was published", file=sys.stderr)
        return 2
    except OSError as e:
        print(f"updater-release: {e}; the previous release stays as it was", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("updater-release: interrupted; the previous release stays as it was", file=sys.stderr)
        return 130
