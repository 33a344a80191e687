"""The release directory: the published tree, swapped in whole, and history/,
the builds released and the times of their releases."""
import datetime
import hashlib
import os
import shutil
import time

INDEX = "releases"


class Refused(Exception):
    """A release that cannot be made as asked: said, exit status 2, nothing published."""


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

