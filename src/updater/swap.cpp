// The swap of the executables and the relaunch: replace_and_run.
#include "engine.hpp"

namespace updater {
namespace {

namespace rr = line::replace_and_run;

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

constexpr FuncSpec replace_and_run_spec = {
    "replace_and_run", "updater.replace_and_run", replace_and_run_body, 1,
    line::body::def_replace_and_run, Code::replace_and_run, &Names::replace_and_run,
    "new_exe exe_dir main_exe old_exe e"};

static_assert(fit_frame({&replace_and_run_spec}), "no function takes more than max_params parameters");

}  // namespace updater
