"""The command: its arguments, the release it makes and the report it prints."""
import argparse
import os
import shutil
import sys

from updater_release import folder
from updater_release.patches import write_patches
from updater_release.signing import Signer
from updater_release.tree import (Refused, keep_in_history, note_release, published_tree, read_build,
                                  recover, release_time, released, releases, remove, sha256, signed_time, swap, when,
                                  write_file)

NAME = "QuelbaLauncher.exe"
KEEP = 5
# Exit statuses: 0 published (or nothing to change), 1 failed with the previous
# release whole, 2 refused with nothing published, 3 published, but history/ not
# yet told or public.old not yet removed (the next run finishes it), 130
# interrupted with the previous release whole.
PUBLISHED_BUT = 3
# In history/: the manifests released, by their build's SHA-256, and the blobs.
MANIFESTS = "contents"
BLOBS = "files"


def release(args):
    found = folder.find_build(args.build, args.name)
    build = read_build(found.exe if found else args.build)
    root = args.release_dir
    if os.path.exists(root) and not os.path.isdir(root):
        raise Refused(f"the release directory {root} is not a directory")
    signer = Signer(args.secret_key, args.public_key) if args.secret_key else None
    history = os.path.join(root, "history")
    public = published_tree(os.path.join(root, "public"))
    digest, name = sha256(build), args.name
    current = os.path.join(public, name)
    contents = found and contents_of(found, build, history, current)
    os.makedirs(history, exist_ok=True)
    staging = recover(public)
    try:
        with open(current, "rb") as f:
            current_build = f.read()
    except FileNotFoundError:
        current_build = None
    previous = signed_time(current + ".minisig")
    current_digest = current_build and sha256(current_build)
    if current_digest == digest and is_current(current, signer, args.given_comment, contents):
        listed = releases(history)
        if listed and listed[-1][1] == digest and os.path.isfile(os.path.join(history, digest)) \
                and (contents is None or os.path.isfile(kept_manifest(history, digest))):
            print(f"updater-release: {name} {digest[:16]} is the current release already: nothing changed")
            return 0
        # A run stopped after its swap: the release is recorded now.
        keep_in_history(history, build, digest, current)
        if contents is not None:
            keep_manifest(history, digest, contents.manifest)
        note_release(history, digest, previous or int(os.stat(current).st_mtime))
        print(f"updater-release: {name} {digest[:16]} is the current release already: its release, missing"
              f" from history/, is recorded now")
        return 0
    seconds = release_time(previous, history, signer is not None)
    # The current release is always a base, though an earlier run did not make it.
    if current_digest and current_digest not in dict(released(history)):
        keep_in_history(history, current_build, current_digest, current)
        note_release(history, current_digest, previous or int(os.stat(current).st_mtime))
    published = read_or_none(current + folder.MANIFEST)
    if current_digest and published is not None and not os.path.isfile(kept_manifest(history, current_digest)):
        keep_manifest(history, current_digest, published)
    comment = f"timestamp:{seconds}\t{args.comment}"

    os.mkdir(staging)
    try:
        target = os.path.join(staging, name)
        write_file(target, build, args.build)
        write_file(target + ".sha256", f"{digest}  {name}\n".encode())
        signed = [target]
        if contents is not None:
            write_file(target + folder.MANIFEST, contents.manifest)
            contents.blobs = folder.write_blobs(contents.build.folder, contents.entries, target + folder.FILES,
                                                store=os.path.join(history, BLOBS))
            signed.append(target + folder.MANIFEST)
        if signer:
            signer.sign(signed, comment)
        rows = write_patches(build, digest, history, args.keep, target + ".patches", current_digest)
        swap(staging, public)
    finally:
        shutil.rmtree(staging, ignore_errors=True)
    # Published: what follows is said as such when it fails, and the next run
    # with the same build finishes it.
    step = "recording the release in history/"
    try:
        keep_in_history(history, build, digest, found.exe if found else args.build)
        if contents is not None:
            keep_manifest(history, digest, contents.manifest)
        note_release(history, digest, seconds)
        step = f"removing {public}.old"
        if os.path.lexists(public + ".old"):
            remove(public + ".old")
    except (OSError, KeyboardInterrupt) as e:
        said = "interrupted" if isinstance(e, KeyboardInterrupt) else str(e)
        print(f"updater-release: {said}; {name} {digest[:16]} is published, but stopped while {step}: run the"
              f" command again with the same build to finish", file=sys.stderr)
        return PUBLISHED_BUT
    report(args, build, digest, seconds, rows, signer, public, contents)
    return 0


def is_current(current, signer, comment, contents):
    """Whether the current release, whose build is the new one, is this release:
    the same build is released anew only to sign it otherwise (with a key now
    given or another one, or under another --comment) or to publish the contents
    folder that the current release lacks."""
    def signed_alike(path):
        return signer is None or signer.signed(path + ".minisig", comment)

    manifest = current + folder.MANIFEST
    if contents is None:
        return signed_alike(current) and not os.path.lexists(manifest)
    return signed_alike(current) and read_or_none(manifest) == contents.manifest and signed_alike(manifest)


class Contents:
    """The contents folder of a folder build being released: its entries, its
    manifest and, once written, its blobs."""

    def __init__(self, build, entries, manifest):
        self.build, self.entries, self.manifest = build, entries, manifest
        self.blobs = []


def read_or_none(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return None


def kept_manifest(history, digest):
    return os.path.join(history, MANIFESTS, digest)


def keep_manifest(history, digest, manifest):
    path = kept_manifest(history, digest)
    if read_or_none(path) != manifest:
        os.makedirs(os.path.dirname(path), exist_ok=True)
        write_file(path, manifest)


def contents_of(found, build, history, current):
    """The Contents of the folder build `found` whose executable is `build`,
    its manifest checked as launchers check it. A contents folder name that an
    earlier release used with other files is refused: a launcher cannot
    replace the folder a running build uses."""
    entries = folder.scan(found.folder)
    try:
        manifest = folder.make_manifest(build, found.contents, entries)
    except ValueError as e:
        raise Refused(f"the contents folder {found.folder} breaks a rule launchers apply: {e}") from None
    # Every manifest released before: those history/ keeps, and the current one.
    kept = os.path.join(history, MANIFESTS)
    manifests = []
    for digest in sorted(os.listdir(kept)) if os.path.isdir(kept) else []:
        manifests.append((os.path.join(kept, digest), read_or_none(os.path.join(kept, digest)) or b""))
    published = read_or_none(current + folder.MANIFEST)
    if published is not None:
        manifests.append((current + folder.MANIFEST, published))
    earlier = folder.released_folders(manifests).get(found.contents.casefold())
    if earlier is not None and earlier[1] != entries:
        before, now = ({e["path"]: e for e in files} for files in (earlier[1], entries))
        differ = sorted(p for p in before.keys() | now.keys() if before.get(p) != now.get(p))
        raise Refused(f"the contents folder name {found.contents} was released before with other files"
                      f" ({', '.join(differ[:3])}{', ...' if len(differ) > 3 else ''} differ): a launcher cannot"
                      f" replace the folder a running build uses; freeze the build with a contents folder"
                      f" name of its own (--contents-directory)")
    return Contents(found, entries, manifest)


def report(args, build, digest, seconds, rows, signer, public, contents):
    name = args.name
    print(f"updater-release: {name} {digest[:16]} ({len(build):,} bytes)")
    if contents is not None:
        files = [e for e in contents.entries if "sha256" in e]
        links = len(contents.entries) - len(files)
        print(f"  contents folder {contents.build.contents}: {len(files):,} files"
              f"{f' and {links:,} links' if links else ''}, {sum(e['size'] for e in files):,} bytes")
        for reused, what in ((False, "compressed anew"), (True, "reused from history/")):
            blobs = [b for b in contents.blobs if b.reused == reused]
            print(f"  blobs {what}: {len(blobs):,} ({sum(b.size for b in blobs):,} bytes of files,"
                  f" {sum(b.stored for b in blobs):,} compressed)")
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
    link = os.path.join(args.release_dir, "public")
    where = f"{public}{os.sep}" if public == link else f"{public}{os.sep} (which {link} links to)"
    print(f"Upload {where} at the directory of UPDATE_URL, unless it is served from there (launchers add each"
          f" suffix to the URL's path, its query kept):")
    blobs = os.path.join(public, name + folder.FILES)
    for directory, _, files in sorted(os.walk(public)):
        if directory == blobs:
            print(f"  {name}{folder.FILES}/<sha256>.zst ({len(files):,} files)")
            continue
        for file in sorted(files):
            print("  " + os.path.relpath(os.path.join(directory, file), public).replace(os.sep, "/"))
    if contents is not None:
        first, last = (f"{name}{folder.MANIFEST}", name) if signer is None else (
            f"{name}{folder.MANIFEST} with its signature", f"{name} with its signature")
        print(f"Where the host cannot swap the tree at once, upload {name}{folder.FILES}/ and {first} first,"
              f" {last} last.")


def parser():
    p = argparse.ArgumentParser(
        prog="updater-release",
        description="Makes RELEASE_DIR/public/, the tree to upload at the directory of UPDATE_URL: the "
                    "build, its .sha256, its .minisig (with a key) and the patches from the builds "
                    "released before, which RELEASE_DIR/history/ keeps; for a folder build, also the "
                    "manifest of its contents folder (.contents) and its files (.files/).")
    p.add_argument("build", metavar="NEW_BUILD",
                   help="the new launcher build: one file, or a PyInstaller one-dir build (its folder, or its "
                        "executable beside its contents folder)")
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
    args.given_comment = args.comment
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
