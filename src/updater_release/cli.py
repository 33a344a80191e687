"""The command: its arguments, the release it makes and the report it prints."""
import argparse
import os
import shutil
import sys

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


def release(args):
    build = read_build(args.build)
    root = args.release_dir
    if os.path.exists(root) and not os.path.isdir(root):
        raise Refused(f"the release directory {root} is not a directory")
    signer = Signer(args.secret_key, args.public_key) if args.secret_key else None
    history = os.path.join(root, "history")
    public = published_tree(os.path.join(root, "public"))
    os.makedirs(history, exist_ok=True)
    staging = recover(public)
    digest, name = sha256(build), args.name
    current = os.path.join(public, name)
    try:
        with open(current, "rb") as f:
            current_build = f.read()
    except FileNotFoundError:
        current_build = None
    previous = signed_time(current + ".minisig")
    current_digest = current_build and sha256(current_build)
    # The same build is released anew only to sign it otherwise: with a key now
    # given or another one, or under another --comment.
    if current_digest == digest and (signer is None or signer.signed(current + ".minisig", args.given_comment)):
        listed = releases(history)
        if listed and listed[-1][1] == digest and os.path.isfile(os.path.join(history, digest)):
            print(f"updater-release: {name} {digest[:16]} is the current release already: nothing changed")
            return 0
        # A run stopped after its swap: the release is recorded now.
        keep_in_history(history, build, digest, current)
        note_release(history, digest, previous or int(os.stat(current).st_mtime))
        print(f"updater-release: {name} {digest[:16]} is the current release already: its release, missing"
              f" from history/, is recorded now")
        return 0
    seconds = release_time(previous, history, signer is not None)
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
        rows = write_patches(build, digest, history, args.keep, target + ".patches", current_digest)
        swap(staging, public)
    finally:
        shutil.rmtree(staging, ignore_errors=True)
    # Published: what follows is said as such when it fails, and the next run
    # with the same build finishes it.
    step = "recording the release in history/"
    try:
        keep_in_history(history, build, digest, args.build)
        note_release(history, digest, seconds)
        step = f"removing {public}.old"
        if os.path.lexists(public + ".old"):
            remove(public + ".old")
    except (OSError, KeyboardInterrupt) as e:
        said = "interrupted" if isinstance(e, KeyboardInterrupt) else str(e)
        print(f"updater-release: {said}; {name} {digest[:16]} is published, but stopped while {step}: run the"
              f" command again with the same build to finish", file=sys.stderr)
        return PUBLISHED_BUT
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
    link = os.path.join(args.release_dir, "public")
    where = f"{public}{os.sep}" if public == link else f"{public}{os.sep} (which {link} links to)"
    print(f"Upload {where} at the directory of UPDATE_URL, unless it is served from there (launchers add each"
          f" suffix to the URL's path, its query kept):")
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
