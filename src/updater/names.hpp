// Every text constant of the module, made into a str once at initialisation.
//   ID(x)         an interned identifier whose text is x itself
//   IDS(x, text)  an interned identifier with the given text
//   TXT(x, text)  a plain (not interned) text constant
// Adding a name is one line here; bodies use it as names.x.
#pragma once

#include <patchlevel.h>

// Patches are applied with the standard library's zstd from 3.14 on, and with
// its backport before.
#if PY_VERSION_HEX >= 0x030E0000
#define UPDATER_ZSTD_MODULE "compression.zstd"
#else
#define UPDATER_ZSTD_MODULE "backports.zstd"
#endif

#define UPDATER_NAMES(ID, IDS, TXT)                                              \
    /* module body: imports and bound globals */                                  \
    ID(sys) ID(os) ID(time) ID(urllib) ID(threading) ID(subprocess) ID(shutil)    \
    IDS(urllib_request, "urllib.request") IDS(urllib_error, "urllib.error")       \
    ID(HTTPError) ID(URLError) ID(tkinter) ID(tk) ID(ttk) ID(messagebox)          \
    ID(TK_AVAILABLE) ID(UPDATE_URL) ID(MAIN_EXE_NAME) ID(TEMP_EXE_NAME)           \
    ID(BG_DARK) ID(BG_CARD) ID(ACCENT_PRIMARY) ID(ACCENT_SUCCESS)                 \
    ID(TEXT_PRIMARY) ID(TEXT_SECONDARY) ID(BORDER_COLOR)                          \
    ID(get_exe_dir) ID(download_new_exe_with_progress) ID(replace_and_run)        \
    ID(UpdaterGUI) ID(WIDTH) ID(HEIGHT) ID(updater) ID(check_for_update)        \
    IDS(dunder_test, "__test__") IDS(dunder_name, "__name__")                     \
    IDS(dunder_main, "__main__") IDS(dunder_module, "__module__")                 \
    IDS(dunder_qualname, "__qualname__") IDS(dunder_file, "__file__")             \
    IDS(dunder_spec, "__spec__") IDS(dunder_enter, "__enter__")                   \
    IDS(dunder_exit, "__exit__") IDS(dunder_init, "__init__")                     \
    IDS(dunder_firstlineno, "__firstlineno__")                                    \
    IDS(dunder_static_attributes, "__static_attributes__")                        \
    ID(_initializing) ID(open) ID(RuntimeError) ID(print)                         \
    ID(co_argcount) ID(co_nlocals) ID(co_varnames) ID(co_flags) ID(co_name)       \
    ID(co_qualname)                                                               \
    /* methods and their qualified names */                                       \
    ID(_run_update) ID(_complete_update) ID(_on_close) ID(console_update)         \
    IDS(q_init, "UpdaterGUI.__init__")                                            \
    IDS(q_run_update, "UpdaterGUI._run_update")                                   \
    IDS(q_complete_update, "UpdaterGUI._complete_update")                         \
    IDS(q_on_close, "UpdaterGUI._on_close")                                       \
    IDS(q_console_update, "UpdaterGUI.console_update")                            \
    IDS(q_run_progress, "UpdaterGUI._run_update.<locals>.progress_callback")      \
    IDS(q_run_progress_lambda,                                                    \
        "UpdaterGUI._run_update.<locals>.progress_callback.<locals>.<lambda>")    \
    IDS(q_run_lambda, "UpdaterGUI._run_update.<locals>.<lambda>")                 \
    IDS(q_console_progress,                                                       \
        "UpdaterGUI.console_update.<locals>.progress_callback")                   \
    /* the engine */                                                              \
    ID(frozen) ID(executable) ID(path) ID(dirname) ID(abspath) ID(join)           \
    ID(request) ID(Request) ID(headers) ID(urlopen) ID(timeout) ID(get) ID(read)  \
    ID(write) ID(geturl) ID(startswith) ID(exists) ID(replace) ID(remove)        \
    ID(stat) ID(st_mode) ID(chmod) ID(Popen)                                      \
    ID(full_url) ID(lower) ID(lexists) ID(isfile) ID(islink) ID(redirect_dict)   \
    ID(chunked) ID(flush) ID(fileno) ID(fsync) ID(name) ID(link) ID(copy2)        \
    ID(O_RDONLY) ID(close) IDS(os_environ, "environ") ID(env) ID(_MEIPASS)                       \
    ID(UPDATE_PUBLIC_KEY) ID(hashlib) ID(blake2b) ID(update) ID(digest)           \
    /* patches */                                                                 \
    ID(UPDATE_PATCHES) ID(file_digest) ID(sha256) ID(hexdigest) ID(ZstdDict)      \
    ID(is_raw) ID(as_prefix) ID(ZstdDecompressor) ID(DecompressionParameter)      \
    ID(window_log_max) ID(decompress) ID(eof) ID(needs_input) ID(unused_data)     \
    IDS(zstd_module, UPDATER_ZSTD_MODULE)                                         \
    /* folder launchers */                                                        \
    ID(isdir) ID(normcase) ID(normpath) ID(basename) ID(samefile) ID(realpath)    \
    ID(json) ID(loads) ID(casefold) ID(splitlines) ID(listdir) ID(lstat)          \
    ID(st_size) ID(readlink) ID(symlink) ID(mkdir) ID(rmtree) ID(rename)          \
    ID(walk) ID(fsencode) ID(copyfile) ID(copytree) ID(isdigit) ID(errors)        \
    ID(format) ID(build) ID(size) ID(folder) ID(files) IDS(exec_key, "exec")      \
    /* the front ends */                                                          \
    ID(Tk) ID(Frame) ID(Label) ID(Progressbar) ID(Style) ID(Thread) ID(title)     \
    ID(geometry) ID(resizable) ID(configure) ID(winfo_screenwidth)                \
    ID(winfo_screenheight) ID(pack) ID(protocol) ID(mainloop) ID(theme_use)       \
    ID(start) ID(target) ID(daemon) ID(root) ID(card) ID(title_lbl) ID(progress)  \
    ID(speed_lbl) ID(after) ID(config) ID(text) ID(value) ID(destroy)             \
    ID(showerror) ID(exit) ID(bg) ID(bd) ID(relief) ID(highlightbackground)       \
    ID(highlightthickness) ID(expand) ID(fill) ID(padx) ID(pady) ID(ipadx)        \
    ID(ipady) ID(fg) ID(font) ID(mode) ID(length) ID(background) ID(troughcolor)  \
    ID(both) ID(flat) ID(determinate) ID(clam) ID(TProgressbar)                   \
    ID(WM_DELETE_WINDOW) IDS(sys_stdout, "stdout") ID(encoding) ID(encode)       \
    ID(decode)                                                                    \
    /* plain texts */                                                             \
    TXT(url, "https://downloads.example.com/quelba/launcher/releases/latest/main/QuelbaLauncher.exe") \
    TXT(main_exe_name, "QuelbaLauncher.exe")                                      \
    TXT(temp_exe_name, "QuelbaLauncher_new.exe")                                  \
    TXT(c_bg_dark, "#121212") TXT(c_bg_card, "#1e1e1e")                           \
    TXT(c_accent_primary, "#00bcd4") TXT(c_accent_success, "#4caf50")            \
    TXT(c_text_primary, "#ffffff") TXT(c_text_secondary, "#b0b0b0")              \
    TXT(c_border, "#333333")                                                      \
    TXT(content_length, "Content-Length") TXT(cache_control, "Cache-Control")     \
    TXT(no_cache, "no-cache") TXT(fmt_1f, ".1f") TXT(old_suffix, ".old")          \
    TXT(plus, "+") TXT(dot, ".") TXT(x_sep, "x") TXT(mode_xb, "xb")              \
    TXT(https_prefix, "https:") TXT(mode_rb, "rb") TXT(nt, "nt")                  \
    TXT(reset_environment, "PYINSTALLER_RESET_ENVIRONMENT") TXT(one, "1")         \
    TXT(pct_sep, "% \u2022 ") TXT(kb_sep, " KB \u2022 ") TXT(kbs, " KB/s")         \
    TXT(failed_replace, "Failed to replace and run: ") TXT(error_prefix, "Error: ") \
    TXT(download_failed, "Download failed!")                                      \
    TXT(console_ready, "Update ready! Replacing and restarting...")               \
    TXT(console_notice, "Tkinter not available, running console update...")       \
    TXT(gui_ready, "Update ready! Restarting...")                                 \
    TXT(update_failed, "Update Failed")                                           \
    TXT(could_not_download, "Could not download update.")                         \
    TXT(update_error, "Update Error") TXT(window_title, "Quelba Updater")         \
    TXT(downloading, "Downloading Update...") TXT(connecting, "Connecting...")    \
    TXT(helvetica, "Helvetica") TXT(bold, "bold")                                 \
    TXT(short_body, "incomplete download")                                        \
    TXT(empty_body, "empty download")                                             \
    TXT(unfinished, "the download did not complete")                              \
    TXT(insecure_redirect, "redirected to a non-https URL")                       \
    TXT(no_length, "the response has neither a length nor chunked encoding")      \
    TXT(negative_length, "negative Content-Length")                               \
    TXT(minisig_suffix, ".minisig")                                               \
    TXT(signature_too_large, "the signature file is larger than 4096 bytes")      \
    TXT(patches_infix, ".patches/") TXT(zst_suffix, ".zst")                       \
    TXT(patch_cut_short, "the patch is cut short")                                \
    TXT(patch_too_long, "the patch makes more than the size it declares")         \
    TXT(patch_trailing, "the patch has bytes after its frame")                    \
    TXT(sha256_suffix, ".sha256") TXT(scheme_sep, "://")                          \
    TXT(digest_too_large, "the digest file is larger than 4096 bytes")            \
    TXT(digest_malformed, "the digest file does not begin with 64 hex digits") \
    TXT(contents_suffix, ".contents") TXT(contents_sig_suffix, ".contents.minisig") \
    TXT(files_infix, ".files/") TXT(folder_suffix, ".folder")                   \
    TXT(folders_suffix, ".folders") TXT(tmp_suffix, ".tmp")                     \
    TXT(mode_r_plus_b, "r+b") TXT(proc, "/proc") TXT(newline, "\n")     \
    TXT(utf_8, "utf-8") TXT(mode_wb, "wb")                                        \
    TXT(manifest_too_large, "the manifest of the contents is larger than 16 MiB") \
    TXT(manifest_signature_too_large, "the signature of the manifest is larger than 4096 bytes") \
    TXT(blob_cut_short, "a file of the contents is cut short")                    \
    TXT(blob_trailing, "a file of the contents has bytes after its frame")        \
    TXT(folder_cut_short, "a file of the contents is shorter than its size")
