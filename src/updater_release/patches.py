"""The patches launchers read: one zstd frame per earlier build, made and decoded
as the launchers decode them."""
import os
import sys

from updater_release.tree import released, sha256, write_file

LEVEL = 19
WINDOW_LOG = 31  # a window of up to 2 GiB: launchers decode with window_log_max 31
CHUNK = 65536  # launchers decode a patch in steps of at most this much output
CONTENT_MAX = 1 << 30  # launchers refuse a patch that declares more
ZSTD_MAGIC = b"\x28\xb5\x2f\xfd"


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


def write_patches(build, digest, history, keep, out, current=None):
    """Writes into `out` the patch from each of the newest `keep` earlier builds,
    the current release first whatever its time, each proven first; returns the
    rows of the table: (sha256 of the base, when it was released, the patch's
    size or None, a note)."""
    rows = []
    bases = [item for item in released(history) if item[0] != digest]
    bases.sort(key=lambda item: item[0] != current)
    for base, seconds in bases[:keep]:
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
