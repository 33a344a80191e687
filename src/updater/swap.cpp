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
///     try: os.fsync(fd)
///     finally: os.close(fd)
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
            return swap_error(line + 2);
        return Outcome::ok();
    }
    Outcome fsync_error = swap_error(line + 1);
    Handler pending;  // the finally clause runs with the fsync error in hand
    if (os_call(names.close, {fd.get()}) < 0)
        return swap_error(line + 2);
    PyErr_SetRaisedException(borrow(pending.exception()).release());
    return fsync_error;
}

/// os.chmod(path, 0o200): on Windows, where chmod sets or clears only the
/// read-only attribute, the file made one that can be replaced and removed.
/// 0, or -1 with an exception set.
int make_writable(PyObject *path)
{
    Ref write_bit = steal(PyLong_FromLong(0200));
    if (!write_bit)
        return -1;
    return os_call(names.chmod, {path, write_bit.get()});
}

/// Lines 166-172: the download gets the launcher's permission bits, or on a
/// first install execute wherever read is set. Not on Windows, where the mode
/// is the read-only attribute alone, which the new build must not inherit.
///     if os.name != "nt":
///         if os.path.exists(main_exe):
///             mode = os.stat(main_exe).st_mode & 0o777
///         else:
///             mode = os.stat(new_exe).st_mode & 0o777
///             mode |= (mode & 0o444) >> 2
///         os.chmod(new_exe, mode)
Outcome give_mode(PyObject *new_exe, PyObject *main_exe)
{
    // if os.name != "nt":
    int windows = on_windows();
    if (windows < 0)
        return swap_error(rr::mode_test);
    if (windows)
        return Outcome::ok();
    //     if os.path.exists(main_exe): mode = <its bits> else: mode = <the download's, execute added>
    int launcher = path_test(names.exists, main_exe);
    if (launcher < 0)
        return swap_error(rr::launcher_test);
    long mode = 0;
    if (permission_bits(launcher ? main_exe : new_exe, &mode) < 0)
        return swap_error(launcher ? rr::launcher_mode : rr::download_mode);
    if (!launcher)
        mode |= (mode & 0444) >> 2;
    //     os.chmod(new_exe, mode)
    Ref chmod = dotted(names.os, {names.chmod});
    if (!chmod)
        return swap_error(rr::chmod);
    Ref mode_bits = steal(PyLong_FromLong(mode));
    if (!mode_bits || !call(chmod.get(), {new_exe, mode_bits.get()}))
        return swap_error(rr::chmod);
    return Outcome::ok();
}

/// Lines 174-178, where a running executable can be renamed but not replaced,
/// nor a read-only file replaced: the launcher renamed into the backup.
///     if os.path.exists(main_exe):
///         if os.path.lexists(old_exe):
///             os.chmod(old_exe, 0o200)
///         os.replace(main_exe, old_exe)
///         backed_up = True
Outcome back_up_windows(PyObject *main_exe, PyObject *old_exe, bool *backed_up)
{
    int launcher = path_test(names.exists, main_exe);
    if (launcher < 0)
        return swap_error(rr::nt_exists);
    if (!launcher)
        return Outcome::ok();
    int stale = path_test(names.lexists, old_exe);
    if (stale < 0)
        return swap_error(rr::nt_stale_test);
    if (stale && make_writable(old_exe) < 0)
        return swap_error(rr::nt_writable);
    if (os_call(names.replace, {main_exe, old_exe}) < 0)
        return swap_error(rr::nt_backup);
    *backed_up = true;
    return Outcome::ok();
}

/// Lines 180-188: the backup is a second name for the current launcher, so
/// that the launcher's name always holds a launcher.
///     if os.path.lexists(old_exe):
///         os.remove(old_exe)
///     if os.path.exists(main_exe):
///         <a hard link, or a synced copy: back_up, lines 183-187>
///         backed_up = True
Outcome back_up_posix(PyObject *main_exe, PyObject *old_exe, bool *backed_up)
{
    int stale = path_test(names.lexists, old_exe);
    if (stale < 0)
        return swap_error(rr::stale_test);
    if (stale && os_call(names.remove, {old_exe}) < 0)
        return swap_error(rr::stale_remove);
    int launcher = path_test(names.exists, main_exe);
    if (launcher < 0)
        return swap_error(rr::link_test);
    if (!launcher)
        return Outcome::ok();
    if (Outcome r = back_up(main_exe, old_exe, rr::link); r.raised())
        return r;
    *backed_up = true;
    return Outcome::ok();
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

/// Lines 211-220: the backups go once the new launcher has started, the
/// record's first: it can always be removed, the launcher's not while the
/// previous launcher still runs from it on Windows.
///     <the record's backup removed: drop_record_backup, lines 211-212>
///     if os.path.exists(old_exe):
///         if os.name == "nt":
///             os.chmod(old_exe, 0o200)
///         os.remove(old_exe)
///     if os.name != "nt":
///         <the directory synced again: sync_dir, lines 218-220>
Outcome remove_backups(PyObject *exe_dir, PyObject *main_exe, PyObject *old_exe)
{
    if (Outcome r = drop_record_backup(main_exe, rr::backup_record_test); r.raised())
        return r;
    int backup = path_test(names.exists, old_exe);
    if (backup < 0)
        return swap_error(rr::exists_old);
    if (backup) {
        int windows = on_windows();
        if (windows < 0)
            return swap_error(rr::nt_old_test);
        if (windows && make_writable(old_exe) < 0)
            return swap_error(rr::nt_old_test + 1);
        if (os_call(names.remove, {old_exe}) < 0)
            return swap_error(rr::remove_old);
    }
    int windows = on_windows();
    if (windows < 0)
        return swap_error(rr::resync_test);
    if (windows)
        return Outcome::ok();
    return sync_dir(exe_dir, rr::resync_test + 1);
}

/// What the swap has done so far, for the handlers of its failures.
struct Progress {
    bool backed_up = false;    // the launcher's backup holds the current launcher
    bool record_kept = false;  // and the record's backup its record
    bool started = false;      // the new launcher runs: nothing goes back after that
};

/// Line 420, before anything moves: a folder launcher's new build finds the
/// contents folder it names beside it. Fills *new_folder with that name.
///     if folder is not None and (new_folder := <the folder new_exe names>) is not None:
///         if not os.path.isdir(os.path.join(exe_dir, new_folder)):
///             raise OSError(f"the new build's contents folder {new_folder!r} is not in the install directory")
Outcome check_new_folder(PyObject *new_exe, PyObject *exe_dir, Ref *new_folder)
{
    namespace fl = line::folder;
    Ref running;
    if (running_folder(exe_dir, &running) < 0)
        return swap_error(fl::swap_check);
    if (!running)
        return Outcome::ok();
    if (named_folder(new_exe, new_folder) < 0)
        return swap_error(fl::swap_check);
    if (!*new_folder)
        return Outcome::ok();
    Ref os_path_join = dotted(names.os, {names.path, names.join});
    Ref path = os_path_join ? call(os_path_join.get(), {exe_dir, new_folder->get()}) : Ref{};
    int present = path ? path_test(names.isdir, path.get()) : -1;
    if (present < 0)
        return swap_error(fl::swap_check);
    if (!present) {
        PyErr_Format(PyExc_OSError, "the new build's contents folder %R is not in the install directory",
                     new_folder->get());
        return swap_error(fl::swap_check);
    }
    return Outcome::ok();
}

/// Lines 162-221, the body of the try statement.
Outcome swap(PyObject *new_exe, PyObject *exe_dir, PyObject *main_exe, PyObject *old_exe, bool signed_,
             Progress *progress)
{
    Ref new_folder;
    if (Outcome r = check_new_folder(new_exe, exe_dir, &new_folder); r.raised())
        return r;
    if (Outcome r = heal(main_exe, old_exe, swap_error, rr::heal_test); r.raised())
        return r;
    // <a record's backup left by an update that did not end removed: drop_record_backup, lines 164-165>
    if (Outcome r = drop_record_backup(main_exe, rr::stale_record_test); r.raised())
        return r;
    // <the permission bits, not on Windows: give_mode, lines 166-172>
    if (Outcome r = give_mode(new_exe, main_exe); r.raised())
        return r;
    // if os.name == "nt":
    //     <the launcher renamed into the backup: back_up_windows, lines 174-178>
    // else:
    //     <the backup a second name for the launcher: back_up_posix, lines 180-188>
    int windows = on_windows();
    if (windows < 0)
        return swap_error(rr::nt_test);
    Outcome backup = windows ? back_up_windows(main_exe, old_exe, &progress->backed_up)
                             : back_up_posix(main_exe, old_exe, &progress->backed_up);
    if (backup.raised())
        return backup;
    // <the record kept beside the backup: keep_record, lines 189-195>
    if (progress->backed_up && signed_)
        if (Outcome r = keep_record(main_exe, &progress->record_kept); r.raised())
            return r;
    // os.replace(new_exe, main_exe)
    if (os_call(names.replace, {new_exe, main_exe}) < 0)
        return swap_error(rr::replace);
    // <the download's signature made the record: install_record, lines 197-200>
    if (signed_)
        if (Outcome r = install_record(new_exe, main_exe); r.raised())
            return r;
    // if os.name != "nt":
    //     <both renames made durable before the start: sync_dir, lines 202-204>
    windows = on_windows();
    if (windows < 0)
        return swap_error(rr::sync_test);
    if (!windows)
        if (Outcome r = sync_dir(exe_dir, rr::sync_test + 1); r.raised())
            return r;
    if (Outcome r = start(main_exe); r.raised())
        return r;
    // started = True
    progress->started = true;
    // try:
    //     <the backups removed, the directory synced: remove_backups, lines 211-220>
    // except Exception:
    //     pass
    Outcome removed = remove_backups(exe_dir, main_exe, old_exe);
    if (removed.raised() && !swallow_exception())
        return removed;
    // if new_folder is not None:
    //     try:
    //         <the folders no launcher uses removed: remove_old_folders>
    //     except Exception:
    //         pass
    if (new_folder && remove_old_folders(exe_dir, new_folder.get(), false) < 0 && !swallow_exception())
        return swap_error(line::folder::swap_remove_old);
    return Outcome::ok();
}

/// Lines 224-228: the launcher's backup back at its name, the record's backup
/// first, so that a crash in between leaves the new launcher beside the old
/// record, which counts as none, and never the old launcher without its own.
///     if record_kept:
///         try: os.replace(main_exe + ".minisig.old", main_exe + ".minisig")
///         except Exception: pass
///     try: os.replace(old_exe, main_exe)
///     except Exception: pass
Outcome roll_back(PyObject *main_exe, PyObject *old_exe, bool record_kept)
{
    if (record_kept && put_record_back(main_exe) < 0 && !swallow_exception())
        return swap_error(rr::rollback_record);
    if (os_call(names.replace, {old_exe, main_exe}) < 0 && !swallow_exception())
        return swap_error(rr::rollback);
    return Outcome::ok();
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
    // backed_up = record_kept = started = False
    Progress progress;
    // try:
    //     ...
    if (!swap(new_exe, exe_dir.get(), main_exe.get(), old_exe.get(), signed_, &progress).raised())
        Py_RETURN_NONE;
    bool roll = progress.backed_up && !progress.started;
    // An interrupt or exit passes through unchanged. Before the start it does
    // not leave the install directory without its launcher either; after it,
    // the new launcher runs and stays.
    if (!pending_matches(PyExc_Exception)) {
        if (roll) {
            ErrorScope keep;  // failures of the rollback's own are dropped with `keep`
            if (progress.record_kept && put_record_back(main_exe.get()) < 0)
                PyErr_Clear();
            if (os_call(names.replace, {old_exe.get(), main_exe.get()}) < 0)
                PyErr_Clear();
        }
        return nullptr;
    }
    // except Exception as e:
    Handler e;
    //     if backed_up and not started:
    //         <the launcher and its record put back: roll_back, lines 224-228>
    if (roll && roll_back(main_exe.get(), old_exe.get(), progress.record_kept).raised())
        return nullptr;
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
