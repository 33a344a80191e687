// The update engine: install location, download with progress, swap and relaunch.
#include "functions.hpp"
#include "lines.hpp"
#include "minisign.hpp"

#include <climits>

namespace updater {
namespace {

namespace gx = line::get_exe_dir;
namespace dl = line::download;
namespace rr = line::replace_and_run;

/// The value of `name.attr1.attr2...` for a module global `name`: a new
/// reference, or nullptr with the exception set.
Ref dotted(PyObject *name, std::initializer_list<PyObject *> attrs)
{
    Ref value = global(name);
    for (PyObject *attr : attrs) {
        if (!value)
            break;
        value = getattr(value.get(), attr);
    }
    return value;
}

/// get_exe_dir(), through the module global: a new reference or nullptr.
Ref install_dir()
{
    Ref get_exe_dir = global(names.get_exe_dir);
    if (!get_exe_dir)
        return {};
    return call(get_exe_dir.get());
}

/// os.path.join(exe_dir, <global file_name> [+ suffix]), evaluated in that
/// order: a new reference or nullptr.
Ref install_path(PyObject *exe_dir, PyObject *file_name, PyObject *suffix = nullptr)
{
    Ref os_path_join = dotted(names.os, {names.path, names.join});
    if (!os_path_join)
        return {};
    Ref name = global(file_name);
    if (!name)
        return {};
    if (suffix) {
        name = steal(PyNumber_Add(name.get(), suffix));
        if (!name)
            return {};
    }
    return call(os_path_join.get(), {exe_dir, name.get()});
}

/// `except Exception: pass` after a failed statement: true when the pending
/// exception derived from Exception and has been dropped; false when it stays.
bool swallow_exception()
{
    if (!pending_matches(PyExc_Exception))
        return false;
    PyErr_Clear();
    return true;
}

/// os.path.<test>(path) as 1 or 0, or -1 with an exception set.
int path_test(PyObject *test, PyObject *path)
{
    Ref function = dotted(names.os, {names.path, test});
    if (!function)
        return -1;
    Ref result = call(function.get(), {path});
    if (!result)
        return -1;
    return PyObject_IsTrue(result.get());
}

/// os.<function>(*args), the result dropped: 0, or -1 with an exception set.
int os_call(PyObject *function, std::initializer_list<PyObject *> args)
{
    Ref callable = dotted(names.os, {function});
    if (!callable)
        return -1;
    Ref result = call(callable.get(), args);
    if (!result)
        return -1;
    return 0;
}

/// os.fsync(file.fileno()): 0, or -1 with an exception set.
int fsync_file(PyObject *file)
{
    Ref fsync = dotted(names.os, {names.fsync});
    if (!fsync)
        return -1;
    Ref fd = call_method(file, names.fileno);
    if (!fd)
        return -1;
    Ref done = call(fsync.get(), {fd.get()});
    if (!done)
        return -1;
    return 0;
}

/// An error reporter: adds the function's traceback entry for a line.
using ErrorAt = Outcome (*)(int line);

/// `with open(path, mode) as f:` up to its body: f, or nullptr with an
/// exception set. `block` exits the file.
Ref open_in(With &block, PyObject *path, PyObject *mode)
{
    Ref file = call(state.open, {path, mode});
    if (!file)
        return Ref{};
    return block.enter(file.get());
}

/// Leaves a `with` block after a statement inside it raised (`inside`). ok when
/// __exit__ suppressed the exception; otherwise raised, and an exception raised
/// by __exit__ itself gets the entry of the with statement's line.
Outcome leave_with_error(Outcome inside, With &block, int line, ErrorAt error)
{
    Ref raised = steal(PyErr_GetRaisedException());
    PyErr_SetRaisedException(borrow(raised.get()).release());
    if (block.exit_error() > 0)
        return Outcome::ok();
    Ref pending = steal(PyErr_GetRaisedException());
    bool from_exit = pending.get() != raised.get();
    PyErr_SetRaisedException(pending.release());
    if (from_exit)
        return error(line);
    return inside;
}

/// A crash between two renames can leave the launcher's name empty with the
/// previous launcher kept as the backup; put it back first:
///     if not os.path.lexists(main_exe) and os.path.isfile(old_exe) and not os.path.islink(old_exe):
///         os.replace(old_exe, main_exe)
Outcome heal(PyObject *main_exe, PyObject *old_exe, ErrorAt error, int test_line)
{
    int launcher = path_test(names.lexists, main_exe);
    if (launcher < 0)
        return error(test_line);
    if (launcher)
        return Outcome::ok();
    int backup = path_test(names.isfile, old_exe);
    if (backup < 0)
        return error(test_line);
    if (!backup)
        return Outcome::ok();
    int linked = path_test(names.islink, old_exe);
    if (linked < 0)
        return error(test_line);
    if (linked)
        return Outcome::ok();
    if (os_call(names.replace, {old_exe, main_exe}) < 0)
        return error(test_line + 1);
    return Outcome::ok();
}

// ---------------------------------------------------------------------------
// get_exe_dir

PyObject *get_exe_dir_body(PyObject *, PyObject *const *)
{
    const char *here = get_exe_dir_spec.trace_name;

    // if getattr(sys, "frozen", False):
    Ref sys = global(names.sys);
    if (!sys)
        return fail(here, gx::frozen);
    Ref frozen = getattr(sys.get(), names.frozen);
    if (!frozen) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return fail(here, gx::frozen);
        PyErr_Clear();
        frozen = borrow(Py_False);
    }
    int is_frozen = PyObject_IsTrue(frozen.get());
    if (is_frozen < 0)
        return fail(here, gx::frozen);
    if (is_frozen) {
        // return os.path.dirname(sys.executable)
        Ref dirname = dotted(names.os, {names.path, names.dirname});
        if (!dirname)
            return fail(here, gx::frozen_dir);
        Ref executable = dotted(names.sys, {names.executable});
        if (!executable)
            return fail(here, gx::frozen_dir);
        Ref dir = call(dirname.get(), {executable.get()});
        if (!dir)
            return fail(here, gx::frozen_dir);
        return dir.release();
    }
    // return os.path.abspath(os.path.dirname(__file__))
    Ref abspath = dotted(names.os, {names.path, names.abspath});
    if (!abspath)
        return fail(here, gx::file_dir);
    Ref dirname = dotted(names.os, {names.path, names.dirname});
    if (!dirname)
        return fail(here, gx::file_dir);
    Ref file = global(names.dunder_file);
    if (!file)
        return fail(here, gx::file_dir);
    Ref dir = call(dirname.get(), {file.get()});
    if (!dir)
        return fail(here, gx::file_dir);
    Ref absolute = call(abspath.get(), {dir.get()});
    if (!absolute)
        return fail(here, gx::file_dir);
    return absolute.release();
}

// ---------------------------------------------------------------------------
// download_new_exe_with_progress

/// Adds the function's traceback entry for `line`.
Outcome download_error(int line) { return raise_at(download_spec.trace_name, line); }

/// time.time() as a double: 0, or -1 with an exception set. The global `time`
/// is looked up at each call; when it is a plain module, its attribute is read
/// from the module dict, where a plain module keeps every attribute it has.
int clock(double *now)
{
    Ref time = global(names.time);
    if (!time)
        return -1;
    Ref reading;
    if (PyModule_CheckExact(time.get())) {
        PyObject *function = PyDict_GetItemWithError(PyModule_GetDict(time.get()), names.time);
        if (!function && PyErr_Occurred())
            return -1;
        reading = function ? call(function) : call_method(time.get(), names.time);
    } else {
        reading = call_method(time.get(), names.time);
    }
    if (!reading)
        return -1;
    *now = PyFloat_AsDouble(reading.get());
    if (*now == -1.0 && PyErr_Occurred())
        return -1;
    return 0;
}

/// url.lower().startswith("https:"): 1, 0, or -1 with an exception set.
int is_https(PyObject *url)
{
    Ref lower = call_method(url, names.lower);
    if (!lower)
        return -1;
    Ref https = call_method(lower.get(), names.startswith, {names.https_prefix});
    if (!https)
        return -1;
    return PyObject_IsTrue(https.get());
}

/// A file asked for over https arrives over https on every hop. urllib records
/// each redirect target in req.redirect_dict (once there was one). From `line` on:
///     if req.full_url.lower().startswith("https:"):
///         for url in [*getattr(req, "redirect_dict", {}), resp.geturl()]:
///             if not url.lower().startswith("https:"):
///                 raise OSError("redirected to a non-https URL")
Outcome check_hops(PyObject *req, PyObject *resp, int line)
{
    Ref full_url = getattr(req, names.full_url);
    if (!full_url)
        return download_error(line);
    int from_https = is_https(full_url.get());
    if (from_https < 0)
        return download_error(line);
    if (!from_https)
        return Outcome::ok();
    Ref redirects = getattr(req, names.redirect_dict);
    if (!redirects) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return download_error(line + 1);
        PyErr_Clear();
        redirects = steal(PyDict_New());
        if (!redirects)
            return download_error(line + 1);
    }
    Ref urls = steal(PySequence_List(redirects.get()));
    if (!urls)
        return download_error(line + 1);
    Ref final_url = call_method(resp, names.geturl);
    if (!final_url || PyList_Append(urls.get(), final_url.get()) < 0)
        return download_error(line + 1);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(urls.get()); ++i) {
        Ref url = borrow(PyList_GET_ITEM(urls.get(), i));
        int https = is_https(url.get());
        if (https < 0)
            return download_error(line + 2);
        if (!https) {
            PyErr_SetObject(PyExc_OSError, names.insecure_redirect);
            return download_error(line + 3);
        }
    }
    return Outcome::ok();
}

/// Integers up to 2**53 convert to double exactly, and their true division in
/// doubles gives the correctly rounded quotient, as Python's int division does.
constexpr long long max_exact = 1LL << 53;

/// total_size, as the int itself and as the C value the loop computes with.
struct TotalSize {
    Ref value;     // the int
    long long n;   // its value, LLONG_MAX when larger
    bool known;    // total_size > 0
};

/// Lines 84-86: total_size from "Content-Length", and a body whose end can be
/// told from a cut connection: a length that is not negative, or chunks.
///     total_size = int(resp.headers.get("Content-Length", 0))
///     if total_size < 0 or (resp.headers.get("Content-Length") is None and not getattr(resp, "chunked", False)):
///         raise OSError(...)
/// Fills *size.
Outcome body_size(PyObject *resp, TotalSize *size)
{
    Ref headers = getattr(resp, names.headers);
    if (!headers)
        return download_error(dl::total_size);
    Ref get = getattr(headers.get(), names.get);
    if (!get)
        return download_error(dl::total_size);
    Ref length = call_tuple(get.get(), tuples.content_length_0);
    if (!length)
        return download_error(dl::total_size);
    Ref total_size = steal(PyNumber_Long(length.get()));
    if (!total_size)
        return download_error(dl::total_size);
    int overflow = 0;
    long long total = PyLong_AsLongLongAndOverflow(total_size.get(), &overflow);
    if (total == -1 && PyErr_Occurred())
        return download_error(dl::total_size);
    *size = {std::move(total_size), overflow > 0 ? LLONG_MAX : total,
             overflow > 0 || (overflow == 0 && total > 0)};
    if (overflow < 0 || (overflow == 0 && total < 0)) {
        PyErr_SetObject(PyExc_OSError, names.negative_length);
        return download_error(dl::end_raise);
    }
    Ref headers_again = getattr(resp, names.headers);
    if (!headers_again)
        return download_error(dl::end_check);
    Ref header = call_method(headers_again.get(), names.get, {names.content_length});
    if (!header)
        return download_error(dl::end_check);
    if (header.get() != Py_None)
        return Outcome::ok();
    Ref chunked = getattr(resp, names.chunked);
    if (!chunked) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return download_error(dl::end_check);
        PyErr_Clear();
        chunked = borrow(Py_False);
    }
    int by_chunks = PyObject_IsTrue(chunked.get());
    if (by_chunks < 0)
        return download_error(dl::end_check);
    if (!by_chunks) {
        PyErr_SetObject(PyExc_OSError, names.no_length);
        return download_error(dl::end_raise);
    }
    return Outcome::ok();
}

/// downloaded / total_size * 100 in Python's int arithmetic, for sizes past 2**53.
Ref large_percent(PyObject *downloaded, PyObject *total_size)
{
    Ref ratio = steal(PyNumber_TrueDivide(downloaded, total_size));
    if (!ratio)
        return {};
    return steal(PyNumber_Multiply(ratio.get(), ints.i100));
}

/// Lines 107-110, after the read loop: the body was whole, and the file is made durable.
Outcome finish_file(PyObject *f, long long downloaded, const TotalSize &total_size)
{
    // if downloaded == 0 or (total_size > 0 and downloaded != total_size):
    if (downloaded == 0 || (total_size.known && downloaded != total_size.n)) {
        //     raise OSError("empty download" if downloaded == 0 else "incomplete download")
        PyErr_SetObject(PyExc_OSError, downloaded == 0 ? names.empty_body : names.short_body);
        return download_error(dl::size_raise);
    }
    // f.flush()
    if (!call_method(f, names.flush))
        return download_error(dl::flush);
    // os.fsync(f.fileno())
    if (fsync_file(f) < 0)
        return download_error(dl::fsync);
    return Outcome::ok();
}

/// Where the bytes of the new build go, piece by piece: into the download
/// file, into the digest of a signed build, and to the callback as a report.
class Writer {
public:
    Writer(PyObject *progress_callback, PyObject *f, PyObject *digest, const TotalSize &total_size,
           double start_time)
        : progress_callback_(progress_callback), f_(f), digest_(digest), total_size_(total_size),
          start_time_(start_time)
    {
    }

    long long downloaded() const { return downloaded_; }

    /// Lines 99-106: one piece written, hashed, counted and reported.
    Outcome put(PyObject *chunk)
    {
        // f.write(chunk)
        if (!write_) {
            write_ = getattr(f_, names.write);
            if (!write_)
                return download_error(dl::write);
        }
        if (!call(write_.get(), {chunk}))
            return download_error(dl::write);
        // if public_key is not None:
        //     digest.update(chunk)
        if (digest_) {
            if (!update_) {
                update_ = getattr(digest_, names.update);
                if (!update_)
                    return download_error(dl::hash_chunk);
            }
            if (!call(update_.get(), {chunk}))
                return download_error(dl::hash_chunk);
        }
        // downloaded += len(chunk)
        Py_ssize_t length = PyObject_Length(chunk);
        if (length < 0)
            return download_error(dl::downloaded);
        downloaded_ += length;
        Ref downloaded_bytes = steal(PyLong_FromLongLong(downloaded_));
        if (!downloaded_bytes)
            return download_error(dl::downloaded);
        // percent = downloaded / total_size * 100 if total_size > 0 else 0
        Ref percent = !total_size_.known ? borrow(ints.i0)
                      : total_size_.n <= max_exact && downloaded_ <= max_exact
                          ? steal(PyFloat_FromDouble(static_cast<double>(downloaded_) /
                                                     static_cast<double>(total_size_.n) * 100.0))
                          : large_percent(downloaded_bytes.get(), total_size_.value.get());
        if (!percent)
            return download_error(dl::percent);
        // elapsed = time.time() - start_time
        double now;
        if (clock(&now) < 0)
            return download_error(dl::elapsed);
        double elapsed = now - start_time_;
        // speed = downloaded / 1024 / elapsed if elapsed > 0 else 0
        Ref speed = elapsed > 0
                        ? steal(PyFloat_FromDouble(static_cast<double>(downloaded_) / 1024.0 / elapsed))
                        : borrow(ints.i0);
        if (!speed)
            return download_error(dl::speed);
        // progress_callback(percent, speed, total_size > 0, downloaded)
        if (!call(progress_callback_, {percent.get(), speed.get(), total_size_.known ? Py_True : Py_False,
                                       downloaded_bytes.get()}))
            return download_error(dl::report);
        return Outcome::ok();
    }

private:
    PyObject *progress_callback_;
    PyObject *f_;
    PyObject *digest_;  // null when no key is set
    const TotalSize &total_size_;
    double start_time_;
    long long downloaded_ = 0;
    // f.write and digest.update are looked up at their first use and reused
    // after: both belong to this download, and nothing rebinds them.
    Ref write_;
    Ref update_;
};

/// Lines 95-110 of the `with open(...)` block: the read loop, then the size
/// check, flush and fsync of finish_file. `digest` is the BLAKE2b hash of a
/// signed build, or null.
Outcome copy_body(PyObject *progress_callback, PyObject *resp, PyObject *f, PyObject *digest,
                  const TotalSize &total_size, double start_time)
{
    Writer out(progress_callback, f, digest, total_size, start_time);
    // resp.read is looked up once, as the writer's methods are.
    Ref read;
    // while True:
    for (;;) {
        // chunk = resp.read(chunk_size)
        if (!read) {
            read = getattr(resp, names.read);
            if (!read)
                return download_error(dl::read);
        }
        Ref chunk = call(read.get(), {ints.chunk_size});
        if (!chunk)
            return download_error(dl::read);
        // if not chunk: break
        int more = PyObject_IsTrue(chunk.get());
        if (more < 0)
            return download_error(dl::chunk_test);
        if (!more)
            break;
        if (Outcome r = out.put(chunk.get()); r.raised())
            return r;
    }
    return finish_file(f, out.downloaded(), total_size);
}

/// Lines 89-110: the clock started, the download file made anew, and
/// `fill(f, start_time)` run inside its `with` block. Sets *opened once the
/// file exists.
///     start_time = time.time()
///     try:
///         os.remove(new_path)
///     except FileNotFoundError:
///         pass
///     with open(new_path, "xb") as f:
///         <fill>
template <class Fill>
Outcome write_download(PyObject *new_path, bool *opened, Fill fill)
{
    double start_time;
    if (clock(&start_time) < 0)
        return download_error(dl::start_time);
    // Whatever stands at the name goes, a link itself and never what it points
    // to; "xb" then refuses anything that appears there in between.
    if (os_call(names.remove, {new_path}) < 0) {
        if (!pending_matches(PyExc_FileNotFoundError))
            return download_error(dl::remove_stale);
        PyErr_Clear();
    }
    With block;
    Ref f = open_in(block, new_path, names.mode_xb);
    if (!f)
        return download_error(dl::open_file);
    *opened = true;
    if (Outcome r = fill(f.get(), start_time); r.raised())
        return leave_with_error(r, block, dl::open_file, download_error);
    if (block.exit_ok() < 0)
        return download_error(dl::open_file);
    return Outcome::ok();
}

/// Lines 80-110, the `with urlopen(...)` block. Sets *opened once the download
/// file has been made.
Outcome save_response(PyObject *progress_callback, PyObject *new_path, PyObject *req, PyObject *resp,
                      PyObject *digest, bool *opened)
{
    if (Outcome r = check_hops(req, resp, dl::https_check); r.raised())
        return r;
    TotalSize size{};
    if (Outcome r = body_size(resp, &size); r.raised())
        return r;
    // downloaded = 0
    // chunk_size = 65536
    return write_download(new_path, opened, [&](PyObject *f, double start_time) {
        return copy_body(progress_callback, resp, f, digest, size, start_time);
    });
}

/// A build that must carry its publisher's signature: the key the host named,
/// and the BLAKE2b-512 hash of the body as it arrives (null when no key is set).
struct Signing {
    minisign::PublicKey key{};
    Ref digest;
    bool named = false;  // UPDATE_PUBLIC_KEY is not None, even when malformed
};

/// Lines 43-47, read at every call so that a host may set the key at any time:
///     public_key = globals().get("UPDATE_PUBLIC_KEY")
///     if public_key is not None:
///         public_key = <the key minisign prints, read strictly>
///         import hashlib
///         digest = hashlib.blake2b()
Outcome read_public_key(Signing *signing)
{
    Ref public_key = borrow(PyDict_GetItemWithError(state.dict, names.UPDATE_PUBLIC_KEY));
    if (!public_key && PyErr_Occurred())
        return download_error(dl::public_key);
    if (!public_key)
        return Outcome::ok();
    if (public_key.get() == Py_None)
        return Outcome::ok();
    signing->named = true;
    if (!PyUnicode_Check(public_key.get())) {
        PyErr_Format(PyExc_TypeError, "UPDATE_PUBLIC_KEY must be a str or None, not %.200s",
                     Py_TYPE(public_key.get())->tp_name);
        return download_error(dl::parse_key);
    }
    Py_ssize_t size = 0;
    const char *text = PyUnicode_AsUTF8AndSize(public_key.get(), &size);
    if (!text)
        return download_error(dl::parse_key);
    minisign::Status status = minisign::parse_public_key(text, static_cast<size_t>(size), signing->key);
    if (status != minisign::Status::ok) {
        PyErr_Format(PyExc_ValueError, "UPDATE_PUBLIC_KEY: %s", minisign::message(status));
        return download_error(dl::parse_key);
    }
    Ref hashlib = steal(PyImport_Import(names.hashlib));
    if (!hashlib)
        return download_error(dl::import_hashlib);
    signing->digest = call_method(hashlib.get(), names.blake2b);
    if (!signing->digest)
        return download_error(dl::blake2b);
    return Outcome::ok();
}

/// urllib.request.Request(UPDATE_URL [+ suffix], headers={"Cache-Control": "no-cache"}):
/// a new reference, or nullptr with an exception set.
Ref new_request(PyObject *suffix)
{
    Ref Request = dotted(names.urllib, {names.request, names.Request});
    if (!Request)
        return {};
    Ref url = global(names.UPDATE_URL);
    if (!url)
        return {};
    if (suffix) {
        url = steal(PyNumber_Add(url.get(), suffix));
        if (!url)
            return {};
    }
    Ref headers = steal(PyDict_New());
    if (!headers || PyDict_SetItem(headers.get(), names.cache_control, names.no_cache) < 0)
        return {};
    return call_kw(Request.get(), {url.get()}, {names.headers}, {headers.get()});
}

/// Enters `with urllib.request.urlopen(req, timeout=60) as ...`: the result of
/// __enter__, or nullptr with an exception set.
Ref open_url(PyObject *req, With &block)
{
    Ref urlopen = dotted(names.urllib, {names.request, names.urlopen});
    if (!urlopen)
        return {};
    Ref response = call_kw(urlopen.get(), {req}, {names.timeout}, {ints.i60});
    if (!response)
        return {};
    return block.enter(response.get());
}

/// Lines 112-120: the signature published beside the build, fetched by the
/// build's rules and kept small.
///     sig_req = urllib.request.Request(UPDATE_URL + ".minisig", headers={"Cache-Control": "no-cache"})
///     with urllib.request.urlopen(sig_req, timeout=60) as sig_resp:
///         <every hop https, as check_hops tells, lines 114-117>
///         signature = sig_resp.read(4097)
///     if len(signature) > 4096:
///         raise OSError("the signature file is larger than 4096 bytes")
Outcome fetch_signature(Ref *signature)
{
    Ref sig_req = new_request(names.minisig_suffix);
    if (!sig_req)
        return download_error(dl::signature_request);
    With block;
    Ref sig_resp = open_url(sig_req.get(), block);
    if (!sig_resp)
        return download_error(dl::signature_urlopen);
    Outcome read = check_hops(sig_req.get(), sig_resp.get(), dl::signature_https_check);
    if (!read.raised()) {
        *signature = call_method(sig_resp.get(), names.read, {ints.signature_cap});
        if (!*signature)
            read = download_error(dl::signature_read);
    }
    if (read.raised()) {
        if (Outcome r = leave_with_error(read, block, dl::signature_urlopen, download_error); r.raised())
            return r;
        // __exit__ swallowed the error, and nothing was read
        PyErr_SetString(PyExc_UnboundLocalError,
                        "cannot access local variable 'signature' where it is not associated with a value");
        return download_error(dl::signature_size);
    }
    if (block.exit_ok() < 0)
        return download_error(dl::signature_urlopen);
    Py_ssize_t size = PyObject_Length(signature->get());
    if (size < 0)
        return download_error(dl::signature_size);
    if (size > signature_max) {
        PyErr_SetObject(PyExc_OSError, names.signature_too_large);
        return download_error(dl::signature_size_raise);
    }
    return Outcome::ok();
}

/// The legacy form signs the file itself, read back in chunks. Puts the
/// verdict in *status: 0, or -1 with an exception set.
int verify_file(const minisign::PublicKey &key, const minisign::Signature &sig, PyObject *new_path,
                minisign::Status *status)
{
    minisign::Verifier verifier(key, sig);
    With block;
    Ref f = open_in(block, new_path, names.mode_rb);
    if (!f)
        return -1;
    for (;;) {
        Ref chunk = call_method(f.get(), names.read, {ints.chunk_size});
        char *data = nullptr;
        Py_ssize_t size = 0;
        if (!chunk || PyBytes_AsStringAndSize(chunk.get(), &data, &size) < 0) {
            block.exit_error();  // a file never suppresses what ends its block
            return -1;
        }
        if (size == 0)
            break;
        verifier.update(data, static_cast<size_t>(size));
    }
    if (block.exit_ok() < 0)
        return -1;
    *status = verifier.finish();
    return 0;
}

/// Line 121: the build checked against its signature, which names the key,
/// signs the build (or its BLAKE2b-512 hash) and, globally, its trusted comment.
/// Fills *sig, which borrows the trusted comment from `signature`.
Outcome check_signature(const Signing &signing, PyObject *signature, PyObject *new_path,
                        minisign::Signature *sig)
{
    char *text = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(signature, &text, &size) < 0)
        return download_error(dl::verify);
    minisign::Status status = minisign::parse_signature(text, static_cast<size_t>(size), *sig);
    if (status == minisign::Status::ok && sig->prehashed) {
        Ref digest = call_method(signing.digest.get(), names.digest);
        char *bytes = nullptr;
        Py_ssize_t length = 0;
        if (!digest || PyBytes_AsStringAndSize(digest.get(), &bytes, &length) < 0)
            return download_error(dl::verify);
        status = minisign::verify(signing.key, *sig, bytes, static_cast<size_t>(length));
    } else if (status == minisign::Status::ok && verify_file(signing.key, *sig, new_path, &status) < 0) {
        return download_error(dl::verify);
    }
    if (status != minisign::Status::ok) {
        PyErr_Format(PyExc_ValueError, "signature of the build: %s", minisign::message(status));
        return download_error(dl::verify);
    }
    return Outcome::ok();
}

/// with open(path, "rb") as f: *data = f.read(size): 0, or -1 with an exception set.
int read_file(PyObject *path, PyObject *size, Ref *data)
{
    With block;
    Ref f = open_in(block, path, names.mode_rb);
    if (!f)
        return -1;
    *data = call_method(f.get(), names.read, {size});
    if (!*data) {
        block.exit_error();  // a file never suppresses what ends its block
        return -1;
    }
    return block.exit_ok();
}

/// The time of the installed build, from the record beside the launcher: a
/// signature file that parses, names the key, carries a time and verifies
/// against the launcher's bytes. *time stays empty when the record does not
/// count. 0, or -1 with an exception set.
int read_record(const minisign::PublicKey &key, PyObject *exe_dir, minisign::Timestamp *time)
{
    Ref main_exe = install_path(exe_dir, names.MAIN_EXE_NAME);
    Ref record_path = main_exe ? steal(PyNumber_Add(main_exe.get(), names.minisig_suffix)) : Ref{};
    Ref text;
    if (!record_path || read_file(record_path.get(), ints.signature_cap, &text) < 0)
        return -1;
    char *data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(text.get(), &data, &size) < 0)
        return -1;
    minisign::Signature sig{};
    if (size > signature_max ||
        minisign::parse_signature(data, static_cast<size_t>(size), sig) != minisign::Status::ok)
        return 0;
    minisign::Timestamp carried;
    minisign::signed_at(sig.trusted_comment, sig.trusted_comment_size, carried);
    // A record without a time limits nothing: the launcher is not read for it.
    if (carried.size == 0 || sig.key_id != key.key_id)
        return 0;
    minisign::Status status = minisign::Status::ok;
    if (sig.prehashed) {
        Ref hashlib = steal(PyImport_Import(names.hashlib));
        Ref file = hashlib ? call(state.open, {main_exe.get(), names.mode_rb}) : Ref{};
        if (!file)
            return -1;
        With block;
        Ref launcher = block.enter(file.get());
        if (!launcher)
            return -1;
        Ref hash = call_method(hashlib.get(), names.file_digest, {launcher.get(), names.blake2b});
        Ref digest = hash ? call_method(hash.get(), names.digest) : Ref{};
        if (!digest) {
            block.exit_error();
            return -1;
        }
        char *bytes = nullptr;
        Py_ssize_t length = 0;
        if (block.exit_ok() < 0 || PyBytes_AsStringAndSize(digest.get(), &bytes, &length) < 0)
            return -1;
        status = minisign::verify(key, sig, bytes, static_cast<size_t>(length));
    } else if (verify_file(key, sig, main_exe.get(), &status) < 0) {
        return -1;
    }
    if (status == minisign::Status::ok)
        *time = carried;
    return 0;
}

/// The installed record, read at most once per download: a patch that fails
/// the rule falls back to the full build, which is held to the same time.
struct Installed {
    bool read = false;
    minisign::Timestamp time;  // empty when no record counts
};

/// Lines 122-124: a build signed before the installed one is refused, and so
/// is a build whose signature carries no time once the installed one does.
///     installed = <the installed record's time, or None: read_record; any Exception means None>
///     if installed is not None and <this signature's time is missing or earlier>:
///         raise ValueError(f"the build was signed at {...}, before the installed one ({installed})")
Outcome check_rollback(const Signing &signing, const minisign::Signature &sig, PyObject *exe_dir,
                       Installed *installed)
{
    if (!installed->read) {
        if (read_record(signing.key, exe_dir, &installed->time) < 0) {
            if (!swallow_exception())
                return download_error(dl::installed);
            installed->time = {};
        }
        installed->read = true;
    }
    if (installed->time.size == 0)
        return Outcome::ok();
    minisign::Timestamp signed_time;
    minisign::signed_at(sig.trusted_comment, sig.trusted_comment_size, signed_time);
    if (signed_time.size == 0) {
        PyErr_Format(PyExc_ValueError,
                     "the build's signature carries no time, and the installed one was signed at %s",
                     installed->time.digits.data());
        return download_error(dl::rollback_raise);
    }
    if (minisign::earlier(signed_time, installed->time)) {
        PyErr_Format(PyExc_ValueError, "the build was signed at %s, before the installed one (%s)",
                     signed_time.digits.data(), installed->time.digits.data());
        return download_error(dl::rollback_raise);
    }
    return Outcome::ok();
}

/// Lines 125-132: the verified signature kept beside the download, made as
/// the download is, for replace_and_run to install with it.
///     try:
///         os.remove(new_path + ".minisig")
///     except FileNotFoundError:
///         pass
///     with open(new_path + ".minisig", "xb") as s:
///         s.write(signature)
///         s.flush()
///         os.fsync(s.fileno())
Outcome keep_signature(PyObject *new_path, PyObject *signature)
{
    Ref path = steal(PyNumber_Add(new_path, names.minisig_suffix));
    if (!path)
        return download_error(dl::signature_remove);
    if (os_call(names.remove, {path.get()}) < 0) {
        if (!pending_matches(PyExc_FileNotFoundError))
            return download_error(dl::signature_remove);
        PyErr_Clear();
    }
    With block;
    Ref s = open_in(block, path.get(), names.mode_xb);
    if (!s)
        return download_error(dl::signature_open);
    Outcome inside = Outcome::ok();
    if (!call_method(s.get(), names.write, {signature}))
        inside = download_error(dl::signature_write);
    else if (!call_method(s.get(), names.flush))
        inside = download_error(dl::signature_flush);
    else if (fsync_file(s.get()) < 0)
        inside = download_error(dl::signature_fsync);
    if (inside.raised())
        return leave_with_error(inside, block, dl::signature_open, download_error);
    if (block.exit_ok() < 0)
        return download_error(dl::signature_open);
    return Outcome::ok();
}

/// Lines 111-132, when a key is set: the build in new_path checked against the
/// signature published beside it and against the installed build's time, and
/// the signature kept beside it.
///     if public_key is not None:
///         <the signature fetched: fetch_signature, lines 112-120>
///         <the build checked against it: check_signature, line 121>
///         <no older than the installed build: check_rollback, lines 122-124>
///         <the signature kept: keep_signature, lines 125-132>
Outcome check_signed(const Signing &signing, PyObject *exe_dir, PyObject *new_path, Installed *installed)
{
    if (!signing.digest)
        return Outcome::ok();
    Ref signature;
    if (Outcome r = fetch_signature(&signature); r.raised())
        return r;
    minisign::Signature sig{};
    if (Outcome r = check_signature(signing, signature.get(), new_path, &sig); r.raised())
        return r;
    if (Outcome r = check_rollback(signing, sig, exe_dir, installed); r.raised())
        return r;
    return keep_signature(new_path, signature.get());
}

// ---------------------------------------------------------------------------
// download_new_exe_with_progress: the patch path

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

/// `with open(main_exe, "rb") as old:` (at `line`) around one statement,
/// `*result = body(old)` (at `body_line`).
template <class Body>
Outcome with_launcher(PyObject *main_exe, int line, int body_line, Ref *result, Body body)
{
    With block;
    Ref old = open_in(block, main_exe, names.mode_rb);
    if (!old)
        return download_error(line);
    *result = body(old.get());
    if (!*result)
        return leave_with_error(download_error(body_line), block, line, download_error);
    if (block.exit_ok() < 0)
        return download_error(line);
    return Outcome::ok();
}

/// Lines 53-54, the installed launcher's name for its patch: fills *old_sha.
///     with open(main_exe, "rb") as old:
///         old_sha = hashlib.file_digest(old, "sha256").hexdigest()
Outcome launcher_digest(PyObject *hashlib, PyObject *main_exe, Ref *old_sha)
{
    return with_launcher(main_exe, pt::launcher_open, pt::launcher_hash, old_sha, [hashlib](PyObject *old) {
        Ref digest = call_method(hashlib, names.file_digest, {old, names.sha256});
        return digest ? call_method(digest.get(), names.hexdigest) : Ref{};
    });
}

/// Lines 63-65: the decoder, primed with the installed launcher: fills *decompressor.
///     with open(main_exe, "rb") as old:
///         prefix = zstd.ZstdDict(old.read(), is_raw=True).as_prefix
///     decompressor = zstd.ZstdDecompressor(prefix, {zstd.DecompressionParameter.window_log_max: 31})
Outcome new_decompressor(PyObject *zstd, PyObject *main_exe, Ref *decompressor)
{
    Ref prefix;
    Outcome read = with_launcher(main_exe, pt::prefix_open, pt::prefix, &prefix, [zstd](PyObject *old) {
        // The dictionary keeps a copy of its own: the content goes when this returns.
        Ref content = call_method(old, names.read);
        Ref ZstdDict = content ? getattr(zstd, names.ZstdDict) : Ref{};
        Ref dict = ZstdDict ? call_kw(ZstdDict.get(), {content.get()}, {names.is_raw}, {Py_True}) : Ref{};
        return dict ? getattr(dict.get(), names.as_prefix) : Ref{};
    });
    if (read.raised())
        return read;
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

/// Lines 57-69, the `with urlopen(patch_req, ...)` block: the patch checked
/// as the build is (every hop https, an end that can be told from a cut), then
/// its frame header, then the new build decoded into a new download file.
/// Sets *opened once the download file has been made.
Outcome apply_patch(PyObject *progress_callback, PyObject *zstd, PyObject *main_exe, PyObject *new_path,
                    PyObject *patch_req, PyObject *patch_resp, PyObject *digest, bool *opened)
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
    if (Outcome r = new_decompressor(zstd, main_exe, &decompressor); r.raised())
        return r;
    return write_download(new_path, opened, [&](PyObject *f, double start_time) {
        Writer out(progress_callback, f, digest, total_size, start_time);
        return decode_patch(out, decompressor.get(), patch_resp, std::move(data), total_size, f);
    });
}

/// Lines 50-70: the new build made from the installed launcher and the patch
/// published against it, then checked against the build's signature when a key
/// is set. Sets *opened once the download file has been made.
Outcome fetch_patch(PyObject *progress_callback, PyObject *exe_dir, PyObject *new_path,
                    const Signing &signing, Installed *installed, bool *opened)
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
    Ref old_sha;
    if (Outcome r = launcher_digest(hashlib.get(), main_exe.get(), &old_sha); r.raised())
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
    // with urllib.request.urlopen(patch_req, timeout=60) as patch_resp:
    With block;
    Ref patch_resp = open_url(patch_req.get(), block);
    if (!patch_resp)
        return download_error(pt::urlopen);
    if (Outcome r = apply_patch(progress_callback, zstd.get(), main_exe.get(), new_path, patch_req.get(),
                                patch_resp.get(), patched.digest.get(), opened);
        r.raised())
        return leave_with_error(r, block, pt::urlopen, download_error);
    if (block.exit_ok() < 0)
        return download_error(pt::urlopen);
    // <the build checked against its signature and the installed build's time, as below>
    return check_signed(patched, exe_dir, new_path, installed);
}

/// globals().get("UPDATE_PATCHES") by the truth test: 1, 0, or -1 with an
/// exception set. Read at every call, as the key is.
int patches_on()
{
    Ref flag = borrow(PyDict_GetItemWithError(state.dict, names.UPDATE_PATCHES));
    if (!flag)
        return PyErr_Occurred() ? -1 : 0;
    return PyObject_IsTrue(flag.get());
}

/// Lines 41-133, the body of the try statement: ok when new_path is to be
/// returned. Sets *opened once the download file has been made, and *keyed
/// once UPDATE_PUBLIC_KEY has been found set.
Outcome fetch(PyObject *progress_callback, PyObject *exe_dir, PyObject *new_path, bool *opened,
              bool *keyed)
{
    // if not os.path.lexists(os.path.join(exe_dir, MAIN_EXE_NAME)) and ...:
    //     os.replace(os.path.join(exe_dir, MAIN_EXE_NAME + ".old"), os.path.join(exe_dir, MAIN_EXE_NAME))
    Ref main_exe = install_path(exe_dir, names.MAIN_EXE_NAME);
    if (!main_exe)
        return download_error(dl::heal_test);
    Ref old_exe = install_path(exe_dir, names.MAIN_EXE_NAME, names.old_suffix);
    if (!old_exe)
        return download_error(dl::heal_test);
    if (Outcome r = heal(main_exe.get(), old_exe.get(), download_error, dl::heal_test); r.raised())
        return r;
    Signing signing;
    Outcome key = read_public_key(&signing);
    *keyed = signing.named;
    if (key.raised())
        return key;
    Installed installed;
    // if globals().get("UPDATE_PATCHES"):
    //     try:
    //         <the build made from a patch: fetch_patch, lines 50-70>
    //         return new_path
    //     except Exception:
    //         <the partial file removed, errors ignored, and f = None: lines 73-77>
    int patches = patches_on();
    if (patches < 0)
        return download_error(pt::patches);
    if (patches) {
        Outcome patched = fetch_patch(progress_callback, exe_dir, new_path, signing, &installed, opened);
        if (!patched.raised() || !pending_matches(PyExc_Exception))
            return patched;
        Handler fallback;  // over when the build's download starts: the callback does not see it
        if (*opened && os_call(names.remove, {new_path}) < 0 && !swallow_exception())
            return download_error(pt::remove_partial);
        *opened = false;
    }
    // req = urllib.request.Request(UPDATE_URL, headers={"Cache-Control": "no-cache"})
    Ref req = new_request(nullptr);
    if (!req)
        return download_error(dl::request);
    // with urllib.request.urlopen(req, timeout=60) as resp:
    With resp_block;
    Ref resp = open_url(req.get(), resp_block);
    if (!resp)
        return download_error(dl::urlopen);
    if (Outcome r = save_response(progress_callback, new_path, req.get(), resp.get(), signing.digest.get(),
                                  opened);
        r.raised())
        return leave_with_error(r, resp_block, dl::urlopen, download_error);
    if (resp_block.exit_ok() < 0)
        return download_error(dl::urlopen);
    return check_signed(signing, exe_dir, new_path, &installed);
}

PyObject *download_body(PyObject *, PyObject *const *args)
{
    const char *here = download_spec.trace_name;
    PyObject *progress_callback = args[0];

    // exe_dir = get_exe_dir()
    Ref exe_dir = install_dir();
    if (!exe_dir)
        return fail(here, dl::exe_dir);
    // new_path = os.path.join(exe_dir, TEMP_EXE_NAME)
    Ref new_path = install_path(exe_dir.get(), names.TEMP_EXE_NAME);
    if (!new_path)
        return fail(here, dl::new_path);
    // f = None
    bool opened = false;
    bool keyed = false;  // public_key is not None
    // try:
    //     ...
    //     return new_path
    if (!fetch(progress_callback, exe_dir.get(), new_path.get(), &opened, &keyed).raised())
        return new_path.release();
    // except Exception as e:
    //     ...
    // except BaseException:
    //     if f is not None:
    //         <the partial file removed, errors dropped>
    //     if public_key is not None:
    //         <its signature file removed, errors dropped>
    //     raise
    // An interrupt or exit passes through unchanged, and takes the partial
    // file and the signature file with it.
    if (!pending_matches(PyExc_Exception)) {
        ErrorScope keep;
        if (opened && os_call(names.remove, {new_path.get()}) < 0)
            PyErr_Clear();  // a failure of its own is dropped
        if (keyed) {
            Ref signature_path = steal(PyNumber_Add(new_path.get(), names.minisig_suffix));
            if (!signature_path || os_call(names.remove, {signature_path.get()}) < 0)
                PyErr_Clear();
        }
        return nullptr;
    }
    Handler e;
    //     if f is not None:
    //         try:
    //             os.remove(new_path)
    //         except Exception:
    //             pass
    if (opened && os_call(names.remove, {new_path.get()}) < 0 && !swallow_exception())
        return fail(here, dl::remove_partial);
    //     if public_key is not None:
    //         try:
    //             os.remove(new_path + ".minisig")
    //         except Exception:
    //             pass
    if (keyed) {
        Ref signature_path = steal(PyNumber_Add(new_path.get(), names.minisig_suffix));
        if ((!signature_path || os_call(names.remove, {signature_path.get()}) < 0) && !swallow_exception())
            return fail(here, dl::remove_signature);
    }
    //     progress_callback(-1, 0, False, 0)
    if (!call_tuple(progress_callback, tuples.failure_report))
        return fail(here, dl::failure_report);
    //     return None
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// replace_and_run

/// Adds the function's traceback entry for `line`.
Outcome swap_error(int line) { return raise_at(replace_and_run_spec.trace_name, line); }

/// os.name == "nt": 1, 0, or -1 with an exception set.
int on_windows()
{
    Ref os_name = dotted(names.os, {names.name});
    if (!os_name)
        return -1;
    return PyObject_RichCompareBool(os_name.get(), names.nt, Py_EQ);
}

/// os.stat(path).st_mode & 0o777 into *mode: 0, or -1 with an exception set.
int permission_bits(PyObject *path, long *mode)
{
    Ref stat = dotted(names.os, {names.stat});
    if (!stat)
        return -1;
    Ref result = call(stat.get(), {path});
    if (!result)
        return -1;
    Ref st_mode = getattr(result.get(), names.st_mode);
    if (!st_mode)
        return -1;
    *mode = PyLong_AsLong(st_mode.get());
    if (*mode == -1 && PyErr_Occurred())
        return -1;
    *mode &= 0777;
    return 0;
}

/// Makes a rename in the install directory durable; `line` is the first of:
///     fd = os.open(exe_dir, os.O_RDONLY)
///     try:
///         os.fsync(fd)
///     finally:
///         os.close(fd)
Outcome sync_dir(PyObject *exe_dir, int line)
{
    Ref os_open = dotted(names.os, {names.open});
    if (!os_open)
        return swap_error(line);
    Ref flags = dotted(names.os, {names.O_RDONLY});
    if (!flags)
        return swap_error(line);
    Ref fd = call(os_open.get(), {exe_dir, flags.get()});
    if (!fd)
        return swap_error(line);
    if (os_call(names.fsync, {fd.get()}) == 0) {
        if (os_call(names.close, {fd.get()}) < 0)
            return swap_error(line + 4);
        return Outcome::ok();
    }
    Outcome fsync_error = swap_error(line + 2);
    Handler pending;  // the finally clause runs with the fsync error in hand
    if (os_call(names.close, {fd.get()}) < 0)
        return swap_error(line + 4);
    PyErr_SetRaisedException(borrow(pending.exception()).release());
    return fsync_error;
}

/// The backup where the file system refuses hard links: a copy, made durable.
///     shutil.copy2(main_exe, old_exe)
///     with open(old_exe, "rb") as backup:
///         os.fsync(backup.fileno())
Outcome copy_backup(PyObject *main_exe, PyObject *old_exe)
{
    Ref copy2 = dotted(names.shutil, {names.copy2});
    if (!copy2 || !call(copy2.get(), {main_exe, old_exe}))
        return swap_error(rr::copy);
    With block;
    Ref backup = open_in(block, old_exe, names.mode_rb);
    if (!backup)
        return swap_error(rr::copy_open);
    if (fsync_file(backup.get()) < 0)
        return leave_with_error(swap_error(rr::copy_fsync), block, rr::copy_open, swap_error);
    if (block.exit_ok() < 0)
        return swap_error(rr::copy_open);
    return Outcome::ok();
}

/// Lines 170-171, before the launcher changes: its record goes first, so that
/// no moment of the swap leaves the old build's record beside another build.
///     if signed and os.path.lexists(main_exe + ".minisig"):
///         os.remove(main_exe + ".minisig")
Outcome drop_record(PyObject *main_exe)
{
    Ref record = steal(PyNumber_Add(main_exe, names.minisig_suffix));
    if (!record)
        return swap_error(rr::record_test);
    int present = path_test(names.lexists, record.get());
    if (present < 0)
        return swap_error(rr::record_test);
    if (present && os_call(names.remove, {record.get()}) < 0)
        return swap_error(rr::record_remove);
    return Outcome::ok();
}

/// Once the new launcher is at its name, the signature its download kept
/// becomes its record, in one rename; `line` is the first of:
///     if signed and os.path.lexists(os.fspath(new_exe) + ".minisig"):
///         os.replace(os.fspath(new_exe) + ".minisig", main_exe + ".minisig")
Outcome install_record(PyObject *new_exe, PyObject *main_exe, int line)
{
    Ref path = steal(PyOS_FSPath(new_exe));
    Ref kept = path ? steal(PyNumber_Add(path.get(), names.minisig_suffix)) : Ref{};
    if (!kept)
        return swap_error(line);
    int present = path_test(names.lexists, kept.get());
    if (present < 0)
        return swap_error(line);
    if (!present)
        return Outcome::ok();
    Ref record = steal(PyNumber_Add(main_exe, names.minisig_suffix));
    if (!record || os_call(names.replace, {kept.get(), record.get()}) < 0)
        return swap_error(line + 1);
    return Outcome::ok();
}

/// Lines 173-178, where a running executable can be renamed but not replaced:
///     if os.path.exists(main_exe):
///         os.replace(main_exe, old_exe)
///         backed_up = True
///     shutil.move(new_exe, main_exe)
///     <the record installed: install_record, lines 177-178>
Outcome swap_windows(PyObject *new_exe, PyObject *main_exe, PyObject *old_exe, bool signed_,
                     bool *backed_up)
{
    int launcher = path_test(names.exists, main_exe);
    if (launcher < 0)
        return swap_error(rr::nt_exists);
    if (launcher) {
        if (os_call(names.replace, {main_exe, old_exe}) < 0)
            return swap_error(rr::nt_backup);
        *backed_up = true;
    }
    Ref move = dotted(names.shutil, {names.move});
    if (!move || !call(move.get(), {new_exe, main_exe}))
        return swap_error(rr::nt_move);
    if (signed_)
        return install_record(new_exe, main_exe, rr::nt_record_test);
    return Outcome::ok();
}

/// Lines 180-197: the launcher's name always holds a launcher. The backup is a
/// second name for the current launcher, the download replaces it in one
/// rename, its record follows, and the directory is synced so that both
/// renames survive a power cut.
Outcome swap_posix(PyObject *new_exe, PyObject *exe_dir, PyObject *main_exe, PyObject *old_exe,
                   bool signed_, bool *backed_up)
{
    // if os.path.lexists(old_exe):
    //     os.remove(old_exe)
    int stale = path_test(names.lexists, old_exe);
    if (stale < 0)
        return swap_error(rr::stale_test);
    if (stale && os_call(names.remove, {old_exe}) < 0)
        return swap_error(rr::stale_remove);
    // if os.path.exists(main_exe):
    int launcher = path_test(names.exists, main_exe);
    if (launcher < 0)
        return swap_error(rr::link_test);
    if (launcher) {
        //     try:
        //         os.link(main_exe, old_exe)
        //     except OSError:
        //         <a synced copy instead: copy_backup, lines 186-188>
        if (os_call(names.link, {main_exe, old_exe}) < 0) {
            if (!pending_matches(PyExc_OSError))
                return swap_error(rr::link);
            Handler refused;
            if (Outcome r = copy_backup(main_exe, old_exe); r.raised())
                return r;
        }
        //     backed_up = True
        *backed_up = true;
    }
    // os.replace(new_exe, main_exe)
    if (os_call(names.replace, {new_exe, main_exe}) < 0)
        return swap_error(rr::replace);
    // <the record installed: install_record, lines 191-192>
    if (signed_)
        if (Outcome r = install_record(new_exe, main_exe, rr::record_install_test); r.raised())
            return r;
    return sync_dir(exe_dir, rr::dir_open);
}

/// if hasattr(sys, "_MEIPASS"):
///     subprocess.Popen([main_exe], env={**os.environ, "PYINSTALLER_RESET_ENVIRONMENT": "1"})
/// else:
///     subprocess.Popen([main_exe])
/// A frozen successor started with the bundle's own variables would take itself
/// for a part of this process and look for files that go when it exits. The
/// path goes as the one item of a list, so that on Windows it reaches
/// CreateProcess quoted: unquoted, a path with a space would first be read as
/// its shorter prefixes ("C:\Program Files\..." as "C:\Program.exe").
Outcome start(PyObject *main_exe)
{
    Ref sys = global(names.sys);
    if (!sys)
        return swap_error(rr::frozen_test);
    Ref meipass = getattr(sys.get(), names._MEIPASS);
    if (!meipass) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return swap_error(rr::frozen_test);
        PyErr_Clear();
    }
    int line = meipass ? rr::popen_fresh : rr::popen;
    Ref Popen = dotted(names.subprocess, {names.Popen});
    if (!Popen)
        return swap_error(line);
    Ref args = steal(PyList_New(1));
    if (!args)
        return swap_error(line);
    PyList_SET_ITEM(args.get(), 0, borrow(main_exe).release());
    if (!meipass) {
        if (!call(Popen.get(), {args.get()}))
            return swap_error(line);
        return Outcome::ok();
    }
    Ref os_environ = dotted(names.os, {names.os_environ});
    if (!os_environ)
        return swap_error(rr::popen_fresh);
    Ref env = steal(PyDict_New());
    if (!env || PyDict_Update(env.get(), os_environ.get()) < 0 ||
        PyDict_SetItem(env.get(), names.reset_environment, names.one) < 0)
        return swap_error(rr::popen_fresh);
    if (!call_kw(Popen.get(), {args.get()}, {names.env}, {env.get()}))
        return swap_error(rr::popen_fresh);
    return Outcome::ok();
}

/// Lines 203-210: the backup goes once the new launcher has started.
///     if os.path.exists(old_exe):
///         os.remove(old_exe)
///     if os.name != "nt":
///         <the directory synced again: sync_dir, lines 206-210>
Outcome remove_backup(PyObject *exe_dir, PyObject *old_exe)
{
    int backup = path_test(names.exists, old_exe);
    if (backup < 0)
        return swap_error(rr::exists_old);
    if (backup && os_call(names.remove, {old_exe}) < 0)
        return swap_error(rr::remove_old);
    int windows = on_windows();
    if (windows < 0)
        return swap_error(rr::resync_test);
    if (windows)
        return Outcome::ok();
    return sync_dir(exe_dir, rr::resync_test + 1);
}

/// Lines 162-212, the body of the try statement. Sets *backed_up once the
/// backup holds the current launcher.
Outcome swap(PyObject *new_exe, PyObject *exe_dir, PyObject *main_exe, PyObject *old_exe, bool signed_,
             bool *backed_up)
{
    if (Outcome r = heal(main_exe, old_exe, swap_error, rr::heal_test); r.raised())
        return r;
    // if os.path.exists(main_exe):
    //     mode = os.stat(main_exe).st_mode & 0o777
    // else:
    //     mode = os.stat(new_exe).st_mode & 0o777
    //     mode |= (mode & 0o444) >> 2
    int launcher = path_test(names.exists, main_exe);
    if (launcher < 0)
        return swap_error(rr::launcher_test);
    long mode = 0;
    if (permission_bits(launcher ? main_exe : new_exe, &mode) < 0)
        return swap_error(launcher ? rr::launcher_mode : rr::download_mode);
    if (!launcher)
        mode |= (mode & 0444) >> 2;
    // os.chmod(new_exe, mode)
    Ref chmod = dotted(names.os, {names.chmod});
    if (!chmod)
        return swap_error(rr::chmod);
    Ref mode_bits = steal(PyLong_FromLong(mode));
    if (!mode_bits || !call(chmod.get(), {new_exe, mode_bits.get()}))
        return swap_error(rr::chmod);
    // <the installed record removed: drop_record, lines 170-171>
    if (signed_)
        if (Outcome r = drop_record(main_exe); r.raised())
            return r;
    // if os.name == "nt":
    //     <backup by rename, the download moved in, its record after it: swap_windows, lines 173-178>
    // else:
    //     <backup by hard link, one rename, its record after it, synced: swap_posix, lines 180-197>
    int windows = on_windows();
    if (windows < 0)
        return swap_error(rr::nt_test);
    Outcome swapped = windows ? swap_windows(new_exe, main_exe, old_exe, signed_, backed_up)
                              : swap_posix(new_exe, exe_dir, main_exe, old_exe, signed_, backed_up);
    if (swapped.raised())
        return swapped;
    if (Outcome r = start(main_exe); r.raised())
        return r;
    // try:
    //     <the backup removed, the directory synced: remove_backup, lines 203-210>
    // except Exception:
    //     pass
    Outcome removed = remove_backup(exe_dir, old_exe);
    if (removed.raised() && swallow_exception())
        return Outcome::ok();
    return removed;
}

PyObject *replace_and_run_body(PyObject *, PyObject *const *args)
{
    const char *here = replace_and_run_spec.trace_name;
    PyObject *new_exe = args[0];

    // exe_dir = get_exe_dir()
    Ref exe_dir = install_dir();
    if (!exe_dir)
        return fail(here, rr::exe_dir);
    // main_exe = os.path.join(exe_dir, MAIN_EXE_NAME)
    Ref main_exe = install_path(exe_dir.get(), names.MAIN_EXE_NAME);
    if (!main_exe)
        return fail(here, rr::main_exe);
    // old_exe = os.path.join(exe_dir, MAIN_EXE_NAME + ".old")
    Ref old_exe = install_path(exe_dir.get(), names.MAIN_EXE_NAME, names.old_suffix);
    if (!old_exe)
        return fail(here, rr::old_exe);
    // signed = globals().get("UPDATE_PUBLIC_KEY") is not None
    PyObject *public_key = PyDict_GetItemWithError(state.dict, names.UPDATE_PUBLIC_KEY);
    if (!public_key && PyErr_Occurred())
        return fail(here, rr::signed_test);
    bool signed_ = public_key && public_key != Py_None;
    // backed_up = False
    bool backed_up = false;
    // try:
    //     ...
    if (!swap(new_exe, exe_dir.get(), main_exe.get(), old_exe.get(), signed_, &backed_up).raised())
        Py_RETURN_NONE;
    // An interrupt or exit passes through unchanged, but does not leave the
    // install directory without its launcher either.
    if (!pending_matches(PyExc_Exception)) {
        if (backed_up) {
            ErrorScope keep;
            Ref replace = dotted(names.os, {names.replace});
            if (replace)  // a failure of its own is dropped with `keep`
                static_cast<void>(call(replace.get(), {old_exe.get(), main_exe.get()}));
        }
        return nullptr;
    }
    // except Exception as e:
    Handler e;
    //     if backed_up:
    //         try:
    //             os.replace(old_exe, main_exe)
    //         except Exception:
    //             pass
    if (backed_up && os_call(names.replace, {old_exe.get(), main_exe.get()}) < 0 && !swallow_exception())
        return fail(here, rr::rollback);
    //     raise RuntimeError(f"Failed to replace and run: {e}")
    Ref text = steal(PyObject_Format(e.exception(), state.empty_str));
    if (!text)
        return fail(here, rr::raise_error);
    Ref message = join({names.failed_replace, text.get()});
    if (!message)
        return fail(here, rr::raise_error);
    Ref error = call(state.RuntimeError, {message.get()});
    if (!error)
        return fail(here, rr::raise_error);
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.get())), error.get());
    return fail(here, rr::raise_error);
}

}  // namespace

constexpr FuncSpec get_exe_dir_spec = {
    "get_exe_dir", "updater.get_exe_dir", get_exe_dir_body, 0,
    line::body::def_get_exe_dir, Code::get_exe_dir, &Names::get_exe_dir, ""};
constexpr FuncSpec download_spec = {
    "download_new_exe_with_progress", "updater.download_new_exe_with_progress", download_body, 1,
    line::body::def_download, Code::download, &Names::download_new_exe_with_progress,
    "progress_callback exe_dir new_path req resp total_size downloaded chunk_size start_time f "
    "chunk percent elapsed speed e"};
constexpr FuncSpec replace_and_run_spec = {
    "replace_and_run", "updater.replace_and_run", replace_and_run_body, 1,
    line::body::def_replace_and_run, Code::replace_and_run, &Names::replace_and_run,
    "new_exe exe_dir main_exe old_exe e"};

static_assert(fit_frame({&get_exe_dir_spec, &download_spec, &replace_and_run_spec}),
              "no function takes more than max_params parameters");

}  // namespace updater
