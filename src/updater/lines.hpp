// Source lines of updater.py, the Python this module stands for. Traceback
// entries report these. Every statement has a line of its own, and no two
// functions share a line: the traceback code cache is keyed by line alone.
#pragma once

namespace updater::line {

namespace body {  // module body, "init updater"
constexpr int start = 1;  // failures before the body proper
constexpr int import_sys = 1;
constexpr int import_os = 2;
constexpr int import_time = 3;
constexpr int import_urllib_request = 4;
constexpr int from_urllib_error = 5;
constexpr int import_threading = 6;
constexpr int import_subprocess = 7;
constexpr int import_shutil = 8;
constexpr int import_tkinter = 11;
constexpr int from_tkinter = 12;
constexpr int tk_available_true = 13;
constexpr int tk_available_false = 15;
constexpr int update_url = 17;
constexpr int main_exe_name = 18;
constexpr int temp_exe_name = 19;
constexpr int bg_dark = 21;  // the seven colours on lines 21 to 27
constexpr int def_get_exe_dir = 30;
constexpr int def_download = 36;
constexpr int def_replace_and_run = 105;
constexpr int class_updater_gui = 200;
constexpr int width = 201;
constexpr int height = 202;
constexpr int def_init = 204;
constexpr int def_run_update = 231;
constexpr int def_complete_update = 257;
constexpr int def_on_close = 265;
constexpr int def_console_update = 268;
constexpr int if_main = 291;
constexpr int call_updater_gui = 292;
constexpr int test_dict = 294;
}  // namespace body

namespace get_exe_dir {  // def at 30
constexpr int frozen = 31;
constexpr int frozen_dir = 32;
constexpr int file_dir = 33;
}  // namespace get_exe_dir

namespace download {  // def at 36
constexpr int exe_dir = 37;
constexpr int new_path = 38;
constexpr int f_none = 39;      // f = None: the failure path removes only a file it made
constexpr int heal_test = 41;   // the launcher's name is empty but a backup file exists
constexpr int heal = 42;
constexpr int public_key = 43;  // public_key = globals().get("UPDATE_PUBLIC_KEY")
constexpr int parse_key = 45;   // inside if public_key is not None: (44-47)
constexpr int import_hashlib = 46;
constexpr int blake2b = 47;
constexpr int request = 48;
constexpr int urlopen = 49;     // the with statement: enter and exit of resp
constexpr int https_check = 50; // lines 50-53: every hop https
constexpr int total_size = 54;
constexpr int end_check = 55;   // the body's end must be knowable: a length, or chunks
constexpr int end_raise = 56;
constexpr int start_time = 59;
constexpr int remove_stale = 61;  // inside try/except FileNotFoundError: pass (60-63)
constexpr int open_file = 64;     // the with statement: enter and exit of f
constexpr int read = 66;
constexpr int chunk_test = 67;
constexpr int write = 69;
constexpr int hash_chunk = 71;    // inside if public_key is not None: (70-71)
constexpr int downloaded = 72;
constexpr int percent = 73;
constexpr int elapsed = 74;
constexpr int speed = 75;
constexpr int report = 76;
constexpr int size_check = 77;
constexpr int size_raise = 78;
constexpr int flush = 79;
constexpr int fsync = 80;
constexpr int signature_request = 82;  // inside if public_key is not None: (81-91)
constexpr int signature_urlopen = 83;  // the with statement: enter and exit of sig_resp
constexpr int signature_https_check = 84;  // lines 84-87: every hop https
constexpr int signature_read = 88;
constexpr int signature_size = 89;
constexpr int signature_size_raise = 90;
constexpr int verify = 91;
constexpr int remove_partial = 96;  // inside if f is not None: try/except Exception: pass (94-98)
constexpr int failure_report = 99;
}  // namespace download

namespace replace_and_run {  // def at 105
constexpr int exe_dir = 106;
constexpr int main_exe = 107;
constexpr int old_exe = 108;
constexpr int heal_test = 111;
constexpr int heal = 112;
constexpr int launcher_test = 113;
constexpr int launcher_mode = 114;
constexpr int download_mode = 116;
constexpr int exec_bits = 117;
constexpr int chmod = 118;
constexpr int nt_test = 119;
constexpr int nt_exists = 120;
constexpr int nt_backup = 121;
constexpr int nt_move = 123;
constexpr int stale_test = 125;
constexpr int stale_remove = 126;
constexpr int link_test = 127;
constexpr int link = 129;         // inside try/except OSError (128-133)
constexpr int copy = 131;
constexpr int copy_open = 132;    // the with statement around the copy's fsync
constexpr int copy_fsync = 133;
constexpr int replace = 135;
constexpr int dir_open = 136;     // fd = os.open(exe_dir, os.O_RDONLY), then os.fsync(fd) at 138
                                  // in a try whose finally clause has os.close(fd) at 140
constexpr int frozen_test = 141;  // if hasattr(sys, "_MEIPASS"):
constexpr int popen_fresh = 142;
constexpr int popen = 144;
constexpr int exists_old = 146;   // inside try/except Exception: pass (145-155)
constexpr int remove_old = 147;
constexpr int resync_test = 148;  // if os.name != "nt": the directory synced again at 149-153
constexpr int rollback = 159;     // inside try/except Exception: pass (158-161)
constexpr int raise_error = 162;
}  // namespace replace_and_run

namespace init {  // def at 204
constexpr int tk_available = 205;
constexpr int console_update = 206;
constexpr int tk_root = 208;
constexpr int title = 209;
constexpr int size = 210;
constexpr int resizable = 211;
constexpr int configure_bg = 212;
constexpr int x = 213;
constexpr int y = 214;
constexpr int position = 215;
constexpr int card = 216;
constexpr int card_pack = 217;
constexpr int title_lbl = 218;
constexpr int title_lbl_pack = 219;
constexpr int progress = 220;
constexpr int style = 221;
constexpr int theme_use = 222;
constexpr int style_configure = 223;
constexpr int progress_pack = 224;
constexpr int speed_lbl = 225;
constexpr int speed_lbl_pack = 226;
constexpr int protocol = 227;
constexpr int thread = 228;
constexpr int mainloop = 229;
}  // namespace init

namespace run_update {  // def at 231
constexpr int def_progress = 232;
constexpr int download = 250;
constexpr int test_new_exe = 251;
constexpr int post_ready = 252;    // lambda5 is defined here
constexpr int post_complete = 254; // lambda6 is defined here
}  // namespace run_update

namespace run_progress {  // def at 232
constexpr int test_failed = 233;
constexpr int post_failed_label = 234;  // lambda
constexpr int post_error_box = 236;     // lambda1
constexpr int post_exit = 238;          // exit_lambda: the lambdas are numbered without it,
                                        // so lambda2 is the bar posted at 241
constexpr int post_bar = 241;
constexpr int test_known = 243;
constexpr int post_known_text = 244;
constexpr int post_bytes_text = 247;
}  // namespace run_progress

namespace lambdas {  // each lambda's one statement sits on the line after its definition
constexpr int failed_label = 235;  // lambda
constexpr int error_box = 237;     // lambda1
constexpr int exit = 239;          // the exit action
constexpr int bar = 242;           // lambda2
constexpr int known_text = 245;    // lambda3
constexpr int bytes_text = 248;    // lambda4
constexpr int ready_label = 253;   // lambda5
constexpr int complete = 255;      // lambda6
}  // namespace lambdas

namespace complete_update {  // def at 257
constexpr int replace_and_run = 259;
constexpr int destroy = 260;
constexpr int showerror = 262;
constexpr int exit = 263;
}  // namespace complete_update

namespace on_close {  // def at 265
constexpr int exit = 266;
}  // namespace on_close

namespace console_update {  // def at 268
constexpr int notice = 269;
constexpr int def_progress = 271;
constexpr int download = 280;
constexpr int test_new_exe = 281;
constexpr int ready = 283;
constexpr int replace_and_run = 285;
constexpr int error_line = 287;
constexpr int exit = 288;
}  // namespace console_update

namespace console_progress {  // def at 271
constexpr int test_failed = 272;
constexpr int failed_line = 273;
constexpr int exit = 274;
constexpr int test_known = 275;
constexpr int known_line = 276;
constexpr int bytes_line = 278;
}  // namespace console_progress

}  // namespace updater::line
