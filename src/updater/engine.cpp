// The update engine: install location, download with progress, swap and relaunch.
#include "frame.hpp"
#include "lines.hpp"

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
    return get_exe_dir ? call(get_exe_dir.get()) : Ref();
}

/// os.path.join(exe_dir, <global file_name> [+ suffix]), evaluated in that
/// order: a new reference or nullptr.
Ref install_path(PyObject *exe_dir, PyObject *file_name, PyObject *suffix = nullptr)
{
    Ref os_path_join = dotted(names.os, {names.path, names.join});
    Ref name = os_path_join ? global(file_name) : Ref();
    if (name && suffix)
        name = steal(PyNumber_Add(name.get(), suffix));
    return name ? call(os_path_join.get(), {exe_dir, name.get()}) : Ref();
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

// ---------------------------------------------------------------------------
// get_exe_dir

PyObject *get_exe_dir_body(PyObject *, PyObject *const *)
{
    const char *here = get_exe_dir_spec.trace_name;

    // if getattr(sys, "frozen", False):
    Ref sys = global(names.sys);
    Ref frozen = sys ? getattr(sys.get(), names.frozen) : Ref();
    if (!frozen && sys && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        frozen = borrow(Py_False);
    }
    int is_frozen = frozen ? PyObject_IsTrue(frozen.get()) : -1;
    if (is_frozen < 0)
        return fail(here, gx::frozen);
    if (is_frozen) {
        // return os.path.dirname(sys.executable)
        Ref dirname = dotted(names.os, {names.path, names.dirname});
        Ref executable = dirname ? dotted(names.sys, {names.executable}) : Ref();
        Ref dir = executable ? call(dirname.get(), {executable.get()}) : Ref();
        return dir ? dir.release() : fail(here, gx::frozen_dir);
    }
    // return os.path.abspath(os.path.dirname(__file__))
    Ref abspath = dotted(names.os, {names.path, names.abspath});
    Ref dirname = abspath ? dotted(names.os, {names.path, names.dirname}) : Ref();
    Ref file = dirname ? global(names.dunder_file) : Ref();
    Ref dir = file ? call(dirname.get(), {file.get()}) : Ref();
    Ref absolute = dir ? call(abspath.get(), {dir.get()}) : Ref();
    return absolute ? absolute.release() : fail(here, gx::file_dir);
}

// ---------------------------------------------------------------------------
// download_new_exe_with_progress

/// Adds the function's traceback entry for `line`; returns -1.
int download_error(int line)
{
    fail(download_spec.trace_name, line);
    return -1;
}

/// Leaves a `with` block while an exception is pending. 0 when __exit__
/// suppressed it; otherwise -1, and an exception raised by __exit__ itself
/// gets the entry of the with statement's line.
int leave_with_error(With &block, int line)
{
    Ref raised = steal(PyErr_GetRaisedException());
    PyErr_SetRaisedException(borrow(raised.get()).release());
    if (block.exit_error() > 0)
        return 0;
    Ref pending = steal(PyErr_GetRaisedException());
    bool from_exit = pending.get() != raised.get();
    PyErr_SetRaisedException(pending.release());
    return from_exit ? download_error(line) : -1;
}

/// time.time() as a double: 0, or -1 with an exception set. The global `time`
/// is looked up at each call; when it is a plain module, its attribute is read
/// from the module dict, where a plain module keeps every attribute it has.
int clock(double *now)
{
    Ref time = global(names.time);
    PyObject *function = time && PyModule_CheckExact(time.get())
                             ? PyDict_GetItemWithError(PyModule_GetDict(time.get()), names.time)
                             : nullptr;
    if (!function && PyErr_Occurred())
        return -1;
    Ref reading = function ? call(function) : time ? call_method(time.get(), names.time) : Ref();
    if (!reading)
        return -1;
    *now = PyFloat_AsDouble(reading.get());
    return *now == -1.0 && PyErr_Occurred() ? -1 : 0;
}

/// url.lower().startswith("https:"): 1, 0, or -1 with an exception set.
int is_https(PyObject *url)
{
    Ref lower = call_method(url, names.lower);
    Ref https = lower ? call_method(lower.get(), names.startswith, {names.https_prefix}) : Ref();
    return https ? PyObject_IsTrue(https.get()) : -1;
}

/// req.full_url.lower().startswith("https:") and not resp.geturl().lower().startswith("https:")
/// as 1 or 0, or -1 with an exception set.
int downgraded(PyObject *req, PyObject *resp)
{
    Ref full_url = getattr(req, names.full_url);
    int from_https = full_url ? is_https(full_url.get()) : -1;
    if (from_https <= 0)
        return from_https;
    Ref final_url = call_method(resp, names.geturl);
    int to_https = final_url ? is_https(final_url.get()) : -1;
    return to_https < 0 ? -1 : !to_https;
}

/// Integers up to 2**53 convert to double exactly, and their true division in
/// doubles gives the correctly rounded quotient, as Python's int division does.
constexpr long long max_exact = 1LL << 53;

/// total_size, as the int itself and as the C value the loop computes with.
struct TotalSize {
    PyObject *value;  // the int (borrowed)
    long long n;      // its value, LLONG_MAX when larger
    bool known;       // total_size > 0
};

/// downloaded / total_size * 100 in Python's int arithmetic, for sizes past 2**53.
Ref large_percent(PyObject *downloaded, PyObject *total_size)
{
    Ref ratio = steal(PyNumber_TrueDivide(downloaded, total_size));
    return ratio ? steal(PyNumber_Multiply(ratio.get(), ints.i100)) : Ref();
}

/// Lines 49-60 of the `with open(...)` block: the read loop, then the check
/// that the body was complete. 0, or -1 with the exception pending.
int copy_body(PyObject *progress_callback, PyObject *resp, PyObject *f, const TotalSize &total_size,
              double start_time)
{
    long long downloaded = 0;
    // resp.read and f.write are looked up at their first use and reused after:
    // the response and the file belong to this call, and neither rebinds them.
    Ref read;
    Ref write;
    // while True:
    for (;;) {
        // chunk = resp.read(chunk_size)
        if (!read)
            read = getattr(resp, names.read);
        Ref chunk = read ? call(read.get(), {ints.chunk_size}) : Ref();
        if (!chunk)
            return download_error(dl::read);
        // if not chunk: break
        int more = PyObject_IsTrue(chunk.get());
        if (more < 0)
            return download_error(dl::chunk_test);
        if (!more)
            break;
        // f.write(chunk)
        if (!write)
            write = getattr(f, names.write);
        if (!write || !call(write.get(), {chunk.get()}))
            return download_error(dl::write);
        // downloaded += len(chunk)
        Py_ssize_t length = PyObject_Length(chunk.get());
        if (length < 0)
            return download_error(dl::downloaded);
        downloaded += length;
        Ref downloaded_bytes = steal(PyLong_FromLongLong(downloaded));
        if (!downloaded_bytes)
            return download_error(dl::downloaded);
        // percent = downloaded / total_size * 100 if total_size > 0 else 0
        Ref percent = !total_size.known ? borrow(ints.i0)
                      : total_size.n <= max_exact && downloaded <= max_exact
                          ? steal(PyFloat_FromDouble(static_cast<double>(downloaded) /
                                                     static_cast<double>(total_size.n) * 100.0))
                          : large_percent(downloaded_bytes.get(), total_size.value);
        if (!percent)
            return download_error(dl::percent);
        // elapsed = time.time() - start_time
        double now;
        if (clock(&now) < 0)
            return download_error(dl::elapsed);
        double elapsed = now - start_time;
        // speed = downloaded / 1024 / elapsed if elapsed > 0 else 0
        Ref speed = elapsed > 0
                        ? steal(PyFloat_FromDouble(static_cast<double>(downloaded) / 1024.0 / elapsed))
                        : borrow(ints.i0);
        if (!speed)
            return download_error(dl::speed);
        // progress_callback(percent, speed, total_size > 0, downloaded)
        if (!call(progress_callback, {percent.get(), speed.get(), total_size.known ? Py_True : Py_False,
                                      downloaded_bytes.get()}))
            return download_error(dl::report);
    }
    // if downloaded == 0 or (total_size > 0 and downloaded != total_size):
    if (downloaded == 0 || (total_size.known && downloaded != total_size.n)) {
        //     raise OSError("empty download" if downloaded == 0 else "incomplete download")
        PyErr_SetObject(PyExc_OSError, downloaded == 0 ? names.empty_body : names.short_body);
        return download_error(dl::size_raise);
    }
    return 0;
}

/// Lines 42-60, the `with urlopen(...)` block: 0, or -1 with the exception pending.
int save_response(PyObject *progress_callback, PyObject *new_path, PyObject *req, PyObject *resp)
{
    // if req.full_url.lower().startswith("https:") and not resp.geturl().lower().startswith("https:"):
    int insecure = downgraded(req, resp);
    if (insecure < 0)
        return download_error(dl::https_check);
    if (insecure) {
        //     raise OSError("redirected to a non-https URL")
        PyErr_SetObject(PyExc_OSError, names.insecure_redirect);
        return download_error(dl::https_raise);
    }
    // total_size = int(resp.headers.get("Content-Length", 0))
    Ref headers = getattr(resp, names.headers);
    Ref get = headers ? getattr(headers.get(), names.get) : Ref();
    Ref length = get ? call_tuple(get.get(), tuples.content_length_0) : Ref();
    Ref total_size = length ? steal(PyNumber_Long(length.get())) : Ref();
    if (!total_size)
        return download_error(dl::total_size);
    int overflow = 0;
    long long total = PyLong_AsLongLongAndOverflow(total_size.get(), &overflow);
    if (total == -1 && PyErr_Occurred())
        return download_error(dl::total_size);
    TotalSize size = {total_size.get(), overflow > 0 ? LLONG_MAX : total,
                      overflow > 0 || (overflow == 0 && total > 0)};
    // downloaded = 0
    // chunk_size = 65536
    // start_time = time.time()
    double start_time;
    if (clock(&start_time) < 0)
        return download_error(dl::start_time);
    // with open(new_path, "wb") as f:
    Ref file = call(state.open, {new_path, names.mode_wb});
    With file_block;
    Ref f = file ? file_block.enter(file.get()) : Ref();
    if (!f)
        return download_error(dl::open_file);
    if (copy_body(progress_callback, resp, f.get(), size, start_time) < 0)
        return leave_with_error(file_block, dl::open_file);
    if (file_block.exit_ok() < 0)
        return download_error(dl::open_file);
    return 0;
}

/// Lines 40-61, the body of the try statement: 0 when new_path is to be
/// returned, or -1 with the exception pending and its traceback entry added.
int fetch(PyObject *progress_callback, PyObject *new_path)
{
    // req = urllib.request.Request(UPDATE_URL, headers={"Cache-Control": "no-cache"})
    Ref Request = dotted(names.urllib, {names.request, names.Request});
    Ref url = Request ? global(names.UPDATE_URL) : Ref();
    Ref headers = url ? steal(PyDict_New()) : Ref();
    if (headers && PyDict_SetItem(headers.get(), names.cache_control, names.no_cache) < 0)
        headers = Ref();
    Ref req = headers ? call_kw(Request.get(), {url.get()}, {names.headers}, {headers.get()}) : Ref();
    if (!req)
        return download_error(dl::request);
    // with urllib.request.urlopen(req, timeout=60) as resp:
    Ref urlopen = dotted(names.urllib, {names.request, names.urlopen});
    Ref response = urlopen ? call_kw(urlopen.get(), {req.get()}, {names.timeout}, {ints.i60}) : Ref();
    With resp_block;
    Ref resp = response ? resp_block.enter(response.get()) : Ref();
    if (!resp)
        return download_error(dl::urlopen);
    if (save_response(progress_callback, new_path, req.get(), resp.get()) < 0)
        return leave_with_error(resp_block, dl::urlopen);
    if (resp_block.exit_ok() < 0)
        return download_error(dl::urlopen);
    return 0;
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
    // try:
    //     ...
    //     return new_path
    if (fetch(progress_callback, new_path.get()) == 0)
        return new_path.release();
    // except Exception as e:
    if (!pending_matches(PyExc_Exception))
        return nullptr;
    Handler e;
    //     progress_callback(-1, 0, False, 0)
    if (!call_tuple(progress_callback, tuples.failure_report))
        return fail(here, dl::failure_report);
    //     return None
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// replace_and_run

/// Adds the function's traceback entry for `line`; returns -1.
int swap_error(int line)
{
    fail(replace_and_run_spec.trace_name, line);
    return -1;
}

/// Lines 73-85, the body of the try statement. 0, or -1 with the exception
/// pending and its traceback entry added. Sets *backed_up once the launcher
/// has been moved to the backup path.
int swap(PyObject *new_exe, PyObject *main_exe, PyObject *old_exe, bool *backed_up)
{
    // if os.path.exists(main_exe):
    Ref exists = dotted(names.os, {names.path, names.exists});
    Ref found = exists ? call(exists.get(), {main_exe}) : Ref();
    int launcher_found = found ? PyObject_IsTrue(found.get()) : -1;
    if (launcher_found < 0)
        return swap_error(rr::exists_main);
    if (launcher_found) {
        //     os.replace(main_exe, old_exe)
        Ref replace = dotted(names.os, {names.replace});
        if (!replace || !call(replace.get(), {main_exe, old_exe}))
            return swap_error(rr::backup);
        //     backed_up = True
        *backed_up = true;
    }
    // shutil.move(new_exe, main_exe)
    Ref move = dotted(names.shutil, {names.move});
    if (!move || !call(move.get(), {new_exe, main_exe}))
        return swap_error(rr::move);
    // mode = os.stat(old_exe if backed_up else main_exe).st_mode & 0o777
    Ref stat = dotted(names.os, {names.stat});
    Ref result = stat ? call(stat.get(), {*backed_up ? old_exe : main_exe}) : Ref();
    Ref st_mode = result ? getattr(result.get(), names.st_mode) : Ref();
    long mode = st_mode ? PyLong_AsLong(st_mode.get()) : -1;
    if (mode == -1 && PyErr_Occurred())
        return swap_error(rr::stat_mode);
    mode &= 0777;
    // if not backed_up: mode |= (mode & 0o444) >> 2
    if (!*backed_up)
        mode |= (mode & 0444) >> 2;
    // os.chmod(main_exe, mode)
    Ref chmod = dotted(names.os, {names.chmod});
    Ref mode_bits = chmod ? steal(PyLong_FromLong(mode)) : Ref();
    if (!mode_bits || !call(chmod.get(), {main_exe, mode_bits.get()}))
        return swap_error(rr::chmod);
    // subprocess.Popen(main_exe)
    Ref Popen = dotted(names.subprocess, {names.Popen});
    if (!Popen || !call(Popen.get(), {main_exe}))
        return swap_error(rr::popen);
    // try:
    //     if os.path.exists(old_exe):
    //         os.remove(old_exe)
    // except Exception:
    //     pass
    Ref backup_exists = dotted(names.os, {names.path, names.exists});
    Ref backup_found = backup_exists ? call(backup_exists.get(), {old_exe}) : Ref();
    int stale_backup = backup_found ? PyObject_IsTrue(backup_found.get()) : -1;
    if (stale_backup < 0)
        return swallow_exception() ? 0 : swap_error(rr::exists_old);
    if (stale_backup) {
        Ref remove = dotted(names.os, {names.remove});
        if ((!remove || !call(remove.get(), {old_exe})) && !swallow_exception())
            return swap_error(rr::remove_old);
    }
    return 0;
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
    // backed_up = False
    bool backed_up = false;
    // try:
    //     ...
    if (swap(new_exe, main_exe.get(), old_exe.get(), &backed_up) == 0)
        Py_RETURN_NONE;
    // An interrupt or exit passes through unchanged, but does not leave the
    // install directory without its launcher either.
    if (!pending_matches(PyExc_Exception)) {
        if (backed_up) {
            ErrorScope keep;
            Ref replace = dotted(names.os, {names.replace});
            if (replace)
                call(replace.get(), {old_exe.get(), main_exe.get()});
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
    if (backed_up) {
        Ref replace = dotted(names.os, {names.replace});
        if ((!replace || !call(replace.get(), {old_exe.get(), main_exe.get()})) && !swallow_exception())
            return fail(here, rr::rollback);
    }
    //     raise RuntimeError(f"Failed to replace and run: {e}")
    Ref text = steal(PyObject_Format(e.exception(), state.empty_str));
    Ref message = text ? join({names.failed_replace, text.get()}) : Ref();
    Ref error = message ? call(state.RuntimeError, {message.get()}) : Ref();
    if (error)
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.get())), error.get());
    return fail(here, rr::raise_error);
}

}  // namespace

const FuncSpec get_exe_dir_spec = {
    "get_exe_dir", "updater.get_exe_dir", get_exe_dir_body, 0,
    line::body::def_get_exe_dir, Code::get_exe_dir, &Names::get_exe_dir, ""};
const FuncSpec download_spec = {
    "download_new_exe_with_progress", "updater.download_new_exe_with_progress", download_body, 1,
    line::body::def_download, Code::download, &Names::download_new_exe_with_progress,
    "progress_callback exe_dir new_path req resp total_size downloaded chunk_size start_time f "
    "chunk percent elapsed speed e"};
const FuncSpec replace_and_run_spec = {
    "replace_and_run", "updater.replace_and_run", replace_and_run_body, 1,
    line::body::def_replace_and_run, Code::replace_and_run, &Names::replace_and_run,
    "new_exe exe_dir main_exe old_exe e"};

}  // namespace updater
