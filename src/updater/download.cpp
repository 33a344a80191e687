// The install location and the download of the new build, whole or through
// a patch, checked against its signature when the host asks for one.
#include "engine.hpp"

namespace updater {
namespace {

namespace gx = line::get_exe_dir;
namespace dl = line::download;
namespace pt = line::patch;

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

/// Lines 95-110 of the `with open(...)` block: the read loop, then the size
/// check, flush and fsync of finish_file. `digest` is the BLAKE2b hash of a
/// signed build, or null.
Outcome copy_body(PyObject *progress_callback, PyObject *resp, PyObject *f, PyObject *digest,
                  const TotalSize &total_size, double start_time, const Tally *tally)
{
    Writer out(progress_callback, f, digest, total_size, start_time, tally);
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

/// Lines 80-110, the `with urlopen(...)` block. Sets *opened once the download
/// file has been made.
Outcome save_response(PyObject *progress_callback, PyObject *new_path, PyObject *req, PyObject *resp,
                      PyObject *digest, bool *opened, const Tally *tally)
{
    if (Outcome r = check_hops(req, resp, dl::https_check); r.raised())
        return r;
    TotalSize size{};
    if (Outcome r = body_size(resp, &size); r.raised())
        return r;
    // downloaded = 0
    // chunk_size = 65536
    return write_download(new_path, opened, [&](PyObject *f, double start_time) {
        return copy_body(progress_callback, resp, f, digest, size, start_time, tally);
    });
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
    // folder = <the contents folder of a folder launcher, or None>
    // if folder is not None:
    //     <the manifest fetched and checked, old folders removed, the folder planned: lines 371-394>
    Folder folder;
    if (running_folder(exe_dir, &folder.running) < 0)
        return download_error(line::folder::running);
    if (folder.running)
        if (Outcome r = prepare_folder(exe_dir, signing, &folder); r.raised())
            return r;
    const Tally *tally = folder.running ? &folder.tally : nullptr;
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
        Outcome patched =
            fetch_patch(progress_callback, exe_dir, new_path, signing, &installed, opened, tally);
        if (!patched.raised() && folder.running)
            return make_folder(progress_callback, exe_dir, new_path, &folder);
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
    // complete = False
    // with urllib.request.urlopen(req, timeout=60) as resp:
    //     <lines 80-110>
    //     complete = True
    With resp_block;
    Ref resp = open_url(req.get(), resp_block);
    if (!resp)
        return download_error(dl::urlopen);
    Outcome saved = save_response(progress_callback, new_path, req.get(), resp.get(), signing.digest.get(),
                                  opened, tally);
    if (saved.raised()) {
        // An error that __exit__ suppresses goes on after the block, as in Python.
        if (Outcome r = leave_with_error(saved, resp_block, dl::urlopen, download_error); r.raised())
            return r;
    } else if (resp_block.exit_ok() < 0) {
        return download_error(dl::urlopen);
    }
    if (Outcome r = check_signed(signing, exe_dir, new_path, &installed); r.raised())
        return r;
    if (Outcome r = check_complete(!saved.raised()); r.raised())
        return r;
    // if folder is not None:
    //     <the build checked against the manifest, and the folder made: lines 395-416>
    if (folder.running)
        return make_folder(progress_callback, exe_dir, new_path, &folder);
    return Outcome::ok();
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
            Ref kept = signature_path(new_path.get());
            if (!kept || os_call(names.remove, {kept.get()}) < 0)
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
        Ref kept = signature_path(new_path.get());
        if ((!kept || os_call(names.remove, {kept.get()}) < 0) && !swallow_exception())
            return fail(here, dl::remove_signature);
    }
    //     progress_callback(-1, 0, False, 0)
    if (!call_tuple(progress_callback, tuples.failure_report))
        return fail(here, dl::failure_report);
    //     return None
    Py_RETURN_NONE;
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

static_assert(fit_frame({&get_exe_dir_spec, &download_spec}), "no function takes more than max_params parameters");

}  // namespace updater
