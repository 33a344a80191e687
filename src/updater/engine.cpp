// What the parts of the update engine share: paths and files through os,
// `with` blocks, the https fetch and the download file every transfer writes.
#include "engine.hpp"

#include <climits>

namespace updater {

namespace dl = line::download;


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
Ref install_path(PyObject *exe_dir, PyObject *file_name, PyObject *suffix)
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

/// os.fspath(path) + ".minisig": the one place the name of a signature file is made.
Ref signature_path(PyObject *path)
{
    Ref text = steal(PyOS_FSPath(path));
    if (!text)
        return {};
    return steal(PyNumber_Add(text.get(), names.minisig_suffix));
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

/// main_exe + ".minisig.old", where the swap keeps the launcher's record while
/// the launcher's backup exists: a new reference or nullptr.
Ref record_backup_path(PyObject *main_exe)
{
    Ref record = signature_path(main_exe);
    if (!record)
        return {};
    return steal(PyNumber_Add(record.get(), names.old_suffix));
}

/// os.replace(main_exe + ".minisig.old", main_exe + ".minisig"): 0, or -1 with
/// an exception set.
int put_record_back(PyObject *main_exe)
{
    Ref record = signature_path(main_exe);
    Ref backup = record ? record_backup_path(main_exe) : Ref{};
    if (!backup)
        return -1;
    return os_call(names.replace, {backup.get(), record.get()});
}

/// A crash between two renames can leave the launcher's name empty with the
/// previous launcher kept as the backup; put it back first, with its record:
///     if not os.path.lexists(main_exe) and os.path.isfile(old_exe) and not os.path.islink(old_exe):
///         os.replace(old_exe, main_exe)
/// where the record's backup, if there is one, goes back before the launcher,
/// reported on the same line.
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
    Ref record_backup = record_backup_path(main_exe);
    int kept = record_backup ? path_test(names.lexists, record_backup.get()) : -1;
    if (kept < 0 || (kept && put_record_back(main_exe) < 0))
        return error(test_line + 1);
    if (os_call(names.replace, {old_exe, main_exe}) < 0)
        return error(test_line + 1);
    return Outcome::ok();
}

/// A second name for a file of the install directory, made durable before it
/// counts; `line` is the first of:
///     try: os.link(src, dst)
///     except OSError:
///         shutil.copy2(src, dst)
///         with open(dst, "rb") as backup:
///             os.fsync(backup.fileno())
/// where the file system refuses hard links, a synced copy.
Outcome back_up(PyObject *src, PyObject *dst, int line)
{
    if (os_call(names.link, {src, dst}) == 0)
        return Outcome::ok();
    if (!pending_matches(PyExc_OSError))
        return swap_error(line);
    Handler refused;
    Ref copy2 = dotted(names.shutil, {names.copy2});
    if (!copy2 || !call(copy2.get(), {src, dst}))
        return swap_error(line + 2);
    With block;
    Ref backup = open_in(block, dst, names.mode_rb);
    if (!backup)
        return swap_error(line + 3);
    if (fsync_file(backup.get()) < 0)
        return leave_with_error(swap_error(line + 4), block, line + 3, swap_error);
    if (block.exit_ok() < 0)
        return swap_error(line + 3);
    return Outcome::ok();
}

// ---------------------------------------------------------------------------
// The https fetch and the download file

/// Adds download_new_exe_with_progress's traceback entry for `line`.
Outcome download_error(int line) { return raise_at(download_spec.trace_name, line); }

/// Adds replace_and_run's traceback entry for `line`.
Outcome swap_error(int line) { return raise_at(replace_and_run_spec.trace_name, line); }

/// The UnboundLocalError of the download's statement at `line` reading a
/// local `name` that a suppressed error left unbound.
Outcome unbound_local(const char *name, int line, ErrorAt error)
{
    PyErr_Format(PyExc_UnboundLocalError,
                 "cannot access local variable '%s' where it is not associated with a value", name);
    return error(line);
}

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

namespace {

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

}  // namespace

/// A file asked for over https arrives over https on every hop. urllib records
/// each redirect target in req.redirect_dict (once there was one). From `line` on:
///     if req.full_url.lower().startswith("https:"):
///         for url in [*getattr(req, "redirect_dict", {}), resp.geturl()]:
///             if not url.lower().startswith("https:"):
///                 raise OSError("redirected to a non-https URL")
Outcome check_hops(PyObject *req, PyObject *resp, int line, ErrorAt error)
{
    Ref full_url = getattr(req, names.full_url);
    if (!full_url)
        return error(line);
    int from_https = is_https(full_url.get());
    if (from_https < 0)
        return error(line);
    if (!from_https)
        return Outcome::ok();
    Ref redirects = getattr(req, names.redirect_dict);
    if (!redirects) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return error(line + 1);
        PyErr_Clear();
        redirects = steal(PyDict_New());
        if (!redirects)
            return error(line + 1);
    }
    Ref urls = steal(PySequence_List(redirects.get()));
    if (!urls)
        return error(line + 1);
    Ref final_url = call_method(resp, names.geturl);
    if (!final_url || PyList_Append(urls.get(), final_url.get()) < 0)
        return error(line + 1);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(urls.get()); ++i) {
        Ref url = borrow(PyList_GET_ITEM(urls.get(), i));
        int https = is_https(url.get());
        if (https < 0)
            return error(line + 2);
        if (!https) {
            PyErr_SetObject(PyExc_OSError, names.insecure_redirect);
            return error(line + 3);
        }
    }
    return Outcome::ok();
}

/// A small file published beside the build, fetched by the build's rules and
/// kept small; `line` is the first of, for `body` named by `local`:
///     req = urllib.request.Request(<UPDATE_URL, suffix added to its path>, headers={"Cache-Control": "no-cache"})
///     with urllib.request.urlopen(req, timeout=60) as resp:
///         <every hop https, as check_hops tells: four lines>
///         body = resp.read(4097)
///     if len(body) > 4096:
///         raise OSError(too_large)
Outcome fetch_beside(PyObject *suffix, PyObject *too_large, const char *local, int line, ErrorAt error,
                     Ref *body)
{
    const int urlopen = line + 1;
    const int https_check = line + 2;
    const int read_line = line + 6;
    const int size_line = line + 7;
    Ref req = new_request(suffix);
    if (!req)
        return error(line);
    With block;
    Ref resp = open_url(req.get(), block);
    if (!resp)
        return error(urlopen);
    Outcome read = check_hops(req.get(), resp.get(), https_check, error);
    if (!read.raised()) {
        *body = call_method(resp.get(), names.read, {ints.signature_cap});
        if (!*body)
            read = error(read_line);
    }
    if (read.raised()) {
        if (Outcome r = leave_with_error(read, block, urlopen, error); r.raised())
            return r;
        // __exit__ swallowed the error, and nothing was read
        return unbound_local(local, size_line, error);
    }
    if (block.exit_ok() < 0)
        return error(urlopen);
    Py_ssize_t size = PyObject_Length(body->get());
    if (size < 0)
        return error(size_line);
    if (size > signature_max) {
        PyErr_SetObject(PyExc_OSError, too_large);
        return error(size_line + 1);
    }
    return Outcome::ok();
}

namespace {

/// Integers up to 2**53 convert to double exactly, and their true division in
/// doubles gives the correctly rounded quotient, as Python's int division does.
constexpr long long max_exact = 1LL << 53;

}  // namespace


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

namespace {

/// downloaded / total_size * 100 in Python's int arithmetic, for sizes past 2**53.
Ref large_percent(PyObject *downloaded, PyObject *total_size)
{
    Ref ratio = steal(PyNumber_TrueDivide(downloaded, total_size));
    if (!ratio)
        return {};
    return steal(PyNumber_Multiply(ratio.get(), ints.i100));
}

}  // namespace

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

/// Line 133. `complete` is set once the download file's checks have run
/// (after its fsync, inside its `with` block); an error that the response's
/// __exit__ suppressed continues after the response's block without them, and
/// then whatever the file holds is no build, cut or not durable:
///     if not complete:
///         raise OSError("the download did not complete")
Outcome check_complete(bool complete)
{
    if (complete)
        return Outcome::ok();
    PyErr_SetObject(PyExc_OSError, names.unfinished);
    return download_error(dl::unfinished);
}

/// Lines 99-106: one piece written, hashed, counted and reported.
Outcome Writer::put(PyObject *chunk)
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
    // A folder launcher's reports count everything that travels against one total.
    const TotalSize &total = tally_ ? tally_->total : total_size_;
    const long long counted = downloaded_ + (tally_ ? tally_->base : 0);
    Ref downloaded_bytes = steal(PyLong_FromLongLong(counted));
    if (!downloaded_bytes)
        return download_error(dl::downloaded);
    // percent = downloaded / total_size * 100 if total_size > 0 else 0
    Ref percent = !total.known ? borrow(ints.i0)
                  : total.n <= max_exact && counted <= max_exact
                      ? steal(PyFloat_FromDouble(static_cast<double>(counted) /
                                                 static_cast<double>(total.n) * 100.0))
                      : large_percent(downloaded_bytes.get(), total.value.get());
    if (!percent)
        return download_error(dl::percent);
    // elapsed = time.time() - start_time
    double now;
    if (clock(&now) < 0)
        return download_error(dl::elapsed);
    double elapsed = now - start_time_;
    // speed = downloaded / 1024 / elapsed if elapsed > 0 else 0
    Ref speed = elapsed > 0
                    ? steal(PyFloat_FromDouble(static_cast<double>(counted) / 1024.0 / elapsed))
                    : borrow(ints.i0);
    if (!speed)
        return download_error(dl::speed);
    // progress_callback(percent, speed, total_size > 0, downloaded)
    if (!call(progress_callback_, {percent.get(), speed.get(), total.known ? Py_True : Py_False,
                                   downloaded_bytes.get()}))
        return download_error(dl::report);
    return Outcome::ok();
}

namespace {

/// Whether url[:at], a URL without its query and fragment, ends its path with
/// a file name: its path is not empty and does not end in "/". 1 or 0, or -1
/// with an exception set.
int names_file(PyObject *url, Py_ssize_t at)
{
    if (at == 0 || PyUnicode_READ_CHAR(url, at - 1) == U'/')
        return 0;
    Py_ssize_t scheme = PyUnicode_Find(url, names.scheme_sep, 0, at, 1);
    if (scheme < 0)
        return scheme == -2 ? -1 : 1;
    Py_ssize_t path = PyUnicode_FindChar(url, U'/', scheme + PyUnicode_GET_LENGTH(names.scheme_sep), at, 1);
    return path == -2 ? -1 : path >= 0;
}

/// `url` with `suffix` added to its path: before the first "?" or "#", which
/// begin the query and the fragment, kept as they are. A path that names no
/// file (https://example.com, https://example.com/dir/) has nothing to add
/// the suffix to: ValueError. A new reference, or nullptr with an exception set.
///     at = min(i for i in (url.find("?"), url.find("#"), len(url)) if i >= 0)
///     if <the path of url[:at] is empty or ends in "/">:
///         raise ValueError(f"UPDATE_URL does not end its path with the build's file name: {url!r}")
///     url[:at] + suffix + url[at:]
Ref beside(PyObject *url, PyObject *suffix)
{
    if (!PyUnicode_Check(url))
        return steal(PyNumber_Add(url, suffix));  // what `+` makes of it, or its TypeError
    Py_ssize_t length = PyUnicode_GET_LENGTH(url);
    Py_ssize_t at = length;
    for (Py_UCS4 mark : {U'?', U'#'}) {
        Py_ssize_t found = PyUnicode_FindChar(url, mark, 0, at, 1);
        if (found == -2)
            return {};
        if (found >= 0)
            at = found;
    }
    int named = names_file(url, at);
    if (named < 0)
        return {};
    if (!named) {
        PyErr_Format(PyExc_ValueError, "UPDATE_URL does not end its path with the build's file name: %R", url);
        return {};
    }
    Ref path = steal(PyUnicode_Substring(url, 0, at));
    Ref rest = path ? steal(PyUnicode_Substring(url, at, length)) : Ref{};
    if (!rest)
        return {};
    return join({path.get(), suffix, rest.get()});
}

}  // namespace

/// urllib.request.Request(UPDATE_URL, headers={"Cache-Control": "no-cache"}), or for a
/// file published beside the build, the signature, the digest or a patch:
///     urllib.request.Request(<UPDATE_URL with suffix added to its path>, headers=...)
/// A new reference, or nullptr with an exception set.
Ref new_request(PyObject *suffix)
{
    Ref Request = dotted(names.urllib, {names.request, names.Request});
    if (!Request)
        return {};
    Ref url = global(names.UPDATE_URL);
    if (!url)
        return {};
    if (suffix) {
        url = beside(url.get(), suffix);
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

}  // namespace updater
