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
constexpr int def_replace_and_run = 135;
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
constexpr int request = 78;
constexpr int urlopen = 79;     // the with statement: enter and exit of resp
constexpr int https_check = 80; // lines 80-83: every hop https
constexpr int total_size = 84;
constexpr int end_check = 85;   // the body's end must be knowable: a length, or chunks
constexpr int end_raise = 86;
constexpr int start_time = 89;
constexpr int remove_stale = 91;  // inside try/except FileNotFoundError: pass (90-93)
constexpr int open_file = 94;     // the with statement: enter and exit of f
constexpr int read = 96;
constexpr int chunk_test = 97;
constexpr int write = 99;
constexpr int hash_chunk = 101;    // inside if public_key is not None: (100-101)
constexpr int downloaded = 102;
constexpr int percent = 103;
constexpr int elapsed = 104;
constexpr int speed = 105;
constexpr int report = 106;
constexpr int size_check = 107;
constexpr int size_raise = 108;
constexpr int flush = 109;
constexpr int fsync = 110;
constexpr int signature_request = 112;  // inside if public_key is not None: (111-121)
constexpr int signature_urlopen = 113;  // the with statement: enter and exit of sig_resp
constexpr int signature_https_check = 114;  // lines 114-117: every hop https
constexpr int signature_read = 118;
constexpr int signature_size = 119;
constexpr int signature_size_raise = 120;
constexpr int verify = 121;
constexpr int remove_partial = 126;  // inside if f is not None: try/except Exception: pass (124-128)
constexpr int failure_report = 129;
}  // namespace download

namespace patch {  // inside the download, lines 48-77; the statements it shares
                   // with the build's download report the build's lines
constexpr int patches = 48;         // if globals().get("UPDATE_PATCHES"): try: ...
constexpr int import_zstd = 50;     // from backports import zstd (compression.zstd from 3.14 on)
constexpr int import_hashlib = 51;
constexpr int main_exe = 52;
constexpr int launcher_open = 53;   // the with statement around the launcher's hash
constexpr int launcher_hash = 54;
constexpr int request = 55;
constexpr int urlopen = 56;         // the with statement: enter and exit of patch_resp
constexpr int https_check = 57;     // lines 57-60: every hop https
constexpr int first_read = 61;
constexpr int frame_header = 62;    // total_size from the frame header
constexpr int prefix_open = 63;     // the with statement around the launcher's read
constexpr int prefix = 64;
constexpr int decompressor = 65;
constexpr int decompress = 66;      // the while loop (66-68) inside the build's `with open`
constexpr int too_long = 67;
constexpr int patch_read = 68;
constexpr int trailing = 69;
constexpr int remove_partial = 75;  // except Exception: if f is not None: try/except (73-76), f = None
}  // namespace patch

namespace replace_and_run {  // def at 135
constexpr int exe_dir = 136;
constexpr int main_exe = 137;
constexpr int old_exe = 138;
constexpr int heal_test = 141;
constexpr int heal = 142;
constexpr int launcher_test = 143;
constexpr int launcher_mode = 144;
constexpr int download_mode = 146;
constexpr int exec_bits = 147;
constexpr int chmod = 148;
constexpr int nt_test = 149;
constexpr int nt_exists = 150;
constexpr int nt_backup = 151;
constexpr int nt_move = 153;
constexpr int stale_test = 155;
constexpr int stale_remove = 156;
constexpr int link_test = 157;
constexpr int link = 159;         // inside try/except OSError (158-163)
constexpr int copy = 161;
constexpr int copy_open = 162;    // the with statement around the copy's fsync
constexpr int copy_fsync = 163;
constexpr int replace = 165;
constexpr int dir_open = 166;     // fd = os.open(exe_dir, os.O_RDONLY), then os.fsync(fd) at 168
                                  // in a try whose finally clause has os.close(fd) at 170
constexpr int frozen_test = 171;  // if hasattr(sys, "_MEIPASS"):
constexpr int popen_fresh = 172;
constexpr int popen = 174;
constexpr int exists_old = 176;   // inside try/except Exception: pass (175-185)
constexpr int remove_old = 177;
constexpr int resync_test = 178;  // if os.name != "nt": the directory synced again at 179-183
constexpr int rollback = 189;     // inside try/except Exception: pass (188-191)
constexpr int raise_error = 192;
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
