// Patches: the new build made from the installed launcher and a zstd frame
// published against it, decoded as it streams into the download file.
#include "engine.hpp"

namespace updater {
namespace {

namespace pt = line::patch;

/// The largest build a patch may declare: far above any launcher, far below
/// what would fill a disk or overflow the counts.
constexpr unsigned long long patch_content_max = 1ULL << 30;

/// The size of the new build, read from the header of the patch's zstd frame
/// (RFC 8878, 3.1.1.1): null and *size set, or the reason for refusing it. A
/// patch must declare its content size and carry a checksum of it.
const char *frame_content_size(const unsigned char *p, size_t n, unsigned long long *size)
{
    if (n < 5 || p[0] != 0x28 || p[1] != 0xB5 || p[2] != 0x2F || p[3] != 0xFD)
        return "the patch is not a zstd frame";
    const unsigned descriptor = p[4];
    const unsigned size_flag = descriptor >> 6;
    const bool single_segment = (descriptor & 0x20) != 0;
    const unsigned dictionary_flag = descriptor & 0x03;
    if ((descriptor & 0x08) != 0)
        return "the patch's frame header has its reserved bit set";
    if ((descriptor & 0x04) == 0)
        return "the patch carries no checksum";
    const size_t size_bytes = size_flag == 0 ? (single_segment ? 1 : 0) : size_t{1} << size_flag;
    if (size_bytes == 0)
        return "the patch does not declare the size of the build";
    const size_t at = 5 + (single_segment ? 0 : 1) + (dictionary_flag == 3 ? 4 : dictionary_flag);
    if (n < at + size_bytes)
        return "the patch's frame header is cut short";
    unsigned long long value = 0;
    for (size_t i = 0; i < size_bytes; ++i)
        value |= static_cast<unsigned long long>(p[at + i]) << (8 * i);
    if (size_bytes == 2)
        value += 256;
    if (value == 0)
        return "the patch makes an empty build";
    if (value > patch_content_max)
        return "the patch declares a build larger than 1 GiB";
    *size = value;
    return nullptr;
}

/// Line 62: total_size = <the build's size, from the frame header of data>.
Outcome patch_total_size(PyObject *data, TotalSize *total_size)
{
    char *bytes = nullptr;
    Py_ssize_t length = 0;
    if (PyBytes_AsStringAndSize(data, &bytes, &length) < 0)
        return download_error(pt::frame_header);
    unsigned long long size = 0;
    if (const char *refused = frame_content_size(reinterpret_cast<const unsigned char *>(bytes),
                                                 static_cast<size_t>(length), &size)) {
        PyErr_SetString(PyExc_ValueError, refused);
        return download_error(pt::frame_header);
    }
    Ref value = steal(PyLong_FromUnsignedLongLong(size));
    if (!value)
        return download_error(pt::frame_header);
    *total_size = {std::move(value), static_cast<long long>(size), true};
    return Outcome::ok();
}

/// Lines 53-54, the installed launcher's one read: fills *launcher.
///     with open(main_exe, "rb") as old:
///         launcher = old.read()
Outcome read_launcher(PyObject *main_exe, Ref *launcher)
{
    With block;
    Ref old = open_in(block, main_exe, names.mode_rb);
    if (!old)
        return download_error(pt::launcher_open);
    *launcher = call_method(old.get(), names.read);
    if (!*launcher) {
        if (Outcome r = leave_with_error(download_error(pt::launcher_read), block, pt::launcher_open,
                                         download_error);
            r.raised())
            return r;
        return unbound_local("launcher", pt::launcher_hash);
    }
    if (block.exit_ok() < 0)
        return download_error(pt::launcher_open);
    return Outcome::ok();
}

/// Line 55, the installed launcher's name for its patch: fills *old_sha.
///     old_sha = hashlib.sha256(launcher).hexdigest()
Outcome launcher_name(PyObject *hashlib, PyObject *launcher, Ref *old_sha)
{
    Ref sha256 = getattr(hashlib, names.sha256);
    Ref digest = sha256 ? call(sha256.get(), {launcher}) : Ref{};
    if (digest)
        *old_sha = call_method(digest.get(), names.hexdigest);
    if (!*old_sha)
        return download_error(pt::launcher_hash);
    return Outcome::ok();
}

/// Lines 65-67: the decoder, primed with the installed launcher, whose bytes
/// go as soon as the dictionary has copied them: fills *decompressor.
///     prefix = zstd.ZstdDict(launcher, is_raw=True).as_prefix
///     launcher = None
///     decompressor = zstd.ZstdDecompressor(prefix, {zstd.DecompressionParameter.window_log_max: 31})
Outcome new_decompressor(PyObject *zstd, Ref *launcher, Ref *decompressor)
{
    Ref ZstdDict = getattr(zstd, names.ZstdDict);
    Ref dict = ZstdDict ? call_kw(ZstdDict.get(), {launcher->get()}, {names.is_raw}, {Py_True}) : Ref{};
    Ref prefix = dict ? getattr(dict.get(), names.as_prefix) : Ref{};
    if (!prefix)
        return download_error(pt::prefix);
    *launcher = Ref{};
    Ref options = steal(PyDict_New());
    Ref parameters = options ? getattr(zstd, names.DecompressionParameter) : Ref{};
    Ref window_log_max = parameters ? getattr(parameters.get(), names.window_log_max) : Ref{};
    if (!window_log_max || PyDict_SetItem(options.get(), window_log_max.get(), ints.i31) < 0)
        return download_error(pt::decompressor);
    Ref ZstdDecompressor = getattr(zstd, names.ZstdDecompressor);
    if (ZstdDecompressor)
        *decompressor = call(ZstdDecompressor.get(), {prefix.get(), options.get()});
    if (!*decompressor)
        return download_error(pt::decompressor);
    return Outcome::ok();
}

/// obj.<attribute> by the truth test: 1, 0, or -1 with an exception set.
int attribute_true(PyObject *obj, PyObject *attribute)
{
    Ref value = getattr(obj, attribute);
    if (!value)
        return -1;
    return PyObject_IsTrue(value.get());
}

/// Lines 66-69, inside `with open(new_path, "xb") as f:` (the statements
/// shared with the build's download, lines 94-110, report their own lines): the patch decoded into the download file, one
/// report per piece of at most chunk_size bytes, and the frame checked to end
/// where the patch ends.
///     while True:
///         chunk = decompressor.decompress(data, chunk_size)
///         if len(chunk) > total_size - downloaded: raise ValueError(...)
///         <chunk written, hashed and reported as the build's chunks are>
///         if decompressor.eof: break
///         data = patch_resp.read(chunk_size) if decompressor.needs_input else b""
///         if not data and decompressor.needs_input: raise OSError("the patch is cut short")
///     if decompressor.unused_data or patch_resp.read(1): raise ValueError(...)
///     <the size check, flush and fsync of the build's download>
Outcome decode_patch(Writer &out, PyObject *decompressor, PyObject *patch_resp, Ref data,
                     const TotalSize &total_size, PyObject *f)
{
    Ref decompress = getattr(decompressor, names.decompress);
    Ref read = decompress ? getattr(patch_resp, names.read) : Ref{};
    if (!read)
        return download_error(pt::decompress);
    for (;;) {
        Ref chunk = call(decompress.get(), {data.get(), ints.chunk_size});
        Py_ssize_t length = chunk ? PyObject_Length(chunk.get()) : -1;
        if (length < 0)
            return download_error(pt::decompress);
        if (length > total_size.n - out.downloaded()) {
            PyErr_SetObject(PyExc_ValueError, names.patch_too_long);
            return download_error(pt::too_long);
        }
        if (length > 0)
            if (Outcome r = out.put(chunk.get()); r.raised())
                return r;
        int eof = attribute_true(decompressor, names.eof);
        if (eof < 0)
            return download_error(pt::patch_read);
        if (eof)
            break;
        int needs_input = attribute_true(decompressor, names.needs_input);
        if (needs_input < 0)
            return download_error(pt::patch_read);
        data = needs_input ? call(read.get(), {ints.chunk_size}) : borrow(state.empty_bytes);
        if (!data)
            return download_error(pt::patch_read);
        if (needs_input && PyObject_Length(data.get()) == 0) {
            PyErr_SetObject(PyExc_OSError, names.patch_cut_short);
            return download_error(pt::patch_read);
        }
    }
    int trailing = attribute_true(decompressor, names.unused_data);
    if (trailing == 0) {
        Ref more = call(read.get(), {ints.i1});
        trailing = more ? PyObject_IsTrue(more.get()) : -1;
    }
    if (trailing < 0)
        return download_error(pt::trailing);
    if (trailing) {
        PyErr_SetObject(PyExc_ValueError, names.patch_trailing);
        return download_error(pt::trailing);
    }
    return finish_file(f, out.downloaded(), total_size);
}

/// Lines 59-71, the `with urlopen(patch_req, ...)` block: the patch checked
/// as the build is (every hop https, an end that can be told from a cut), then
/// its frame header, then the new build decoded into a new download file.
/// Takes the launcher's bytes for the prefix. Sets *opened once the download
/// file has been made.
Outcome apply_patch(PyObject *progress_callback, PyObject *zstd, Ref *launcher, PyObject *new_path,
                    PyObject *patch_req, PyObject *patch_resp, PyObject *digest, bool *opened, const Tally *tally)
{
    if (Outcome r = check_hops(patch_req, patch_resp, pt::https_check); r.raised())
        return r;
    TotalSize patch_size{};
    if (Outcome r = body_size(patch_resp, &patch_size); r.raised())
        return r;
    // data = patch_resp.read(chunk_size)
    Ref data = call_method(patch_resp, names.read, {ints.chunk_size});
    if (!data)
        return download_error(pt::first_read);
    TotalSize total_size{};
    if (Outcome r = patch_total_size(data.get(), &total_size); r.raised())
        return r;
    Ref decompressor;
    if (Outcome r = new_decompressor(zstd, launcher, &decompressor); r.raised())
        return r;
    return write_download(new_path, opened, [&](PyObject *f, double start_time) {
        Writer out(progress_callback, f, digest, total_size, start_time, tally);
        return decode_patch(out, decompressor.get(), patch_resp, std::move(data), total_size, f);
    });
}

}  // namespace

/// Lines 50-73: the new build made from the installed launcher and the patch
/// published against it, then checked as the build is. The launcher is read
/// once: its bytes name the patch, check the installed record when a key is
/// set, and become the patch's prefix. Sets *opened once the download file has
/// been made.
Outcome fetch_patch(PyObject *progress_callback, PyObject *exe_dir, PyObject *new_path,
                    const Signing &signing, Installed *installed, bool *opened, const Tally *tally)
{
    // from backports import zstd  (the standard library's compression.zstd from 3.14 on)
    Ref zstd = steal(PyImport_Import(names.zstd_module));
    if (!zstd)
        return download_error(pt::import_zstd);
    // import hashlib
    Ref hashlib = steal(PyImport_Import(names.hashlib));
    if (!hashlib)
        return download_error(pt::import_hashlib);
    // main_exe = os.path.join(exe_dir, MAIN_EXE_NAME)
    Ref main_exe = install_path(exe_dir, names.MAIN_EXE_NAME);
    if (!main_exe)
        return download_error(pt::main_exe);
    Ref launcher;
    if (Outcome r = read_launcher(main_exe.get(), &launcher); r.raised())
        return r;
    Ref old_sha;
    if (Outcome r = launcher_name(hashlib.get(), launcher.get(), &old_sha); r.raised())
        return r;
    // if public_key is not None:
    //     installed = <the installed build's time, its record checked against launcher>
    if (signing.digest)
        if (Outcome r = read_installed(signing, exe_dir, launcher.get(), installed, pt::record); r.raised())
            return r;
    // patch_req = urllib.request.Request(UPDATE_URL + ".patches/" + old_sha + ".zst",
    //                                    headers={"Cache-Control": "no-cache"})
    Ref name = join({names.patches_infix, old_sha.get(), names.zst_suffix});
    Ref patch_req = name ? new_request(name.get()) : Ref{};
    if (!patch_req)
        return download_error(pt::request);
    // if public_key is not None: a digest of its own, for the build the patch makes
    Signing patched{signing.key, {}, signing.named};
    if (signing.digest) {
        patched.digest = call_method(hashlib.get(), names.blake2b);
        if (!patched.digest)
            return download_error(pt::request);
    }
    // complete = False
    // with urllib.request.urlopen(patch_req, timeout=60) as patch_resp:
    //     <lines 59-71>
    //     complete = True
    With block;
    Ref patch_resp = open_url(patch_req.get(), block);
    if (!patch_resp)
        return download_error(pt::urlopen);
    Outcome made = apply_patch(progress_callback, zstd.get(), &launcher, new_path, patch_req.get(),
                               patch_resp.get(), patched.digest.get(), opened, tally);
    if (made.raised()) {
        // An error that __exit__ suppresses goes on after the block, as in Python.
        if (Outcome r = leave_with_error(made, block, pt::urlopen, download_error); r.raised())
            return r;
    } else if (block.exit_ok() < 0) {
        return download_error(pt::urlopen);
    }
    // <the build checked as below: its signature and the installed build's time, then complete>
    if (Outcome r = check_signed(patched, exe_dir, new_path, installed); r.raised())
        return r;
    return check_complete(!made.raised());
}

}  // namespace updater
