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
constexpr int def_replace_and_run = 155;
constexpr int class_updater_gui = 230;
constexpr int width = 231;
constexpr int height = 232;
constexpr int def_init = 234;
constexpr int def_run_update = 261;
constexpr int def_complete_update = 287;
constexpr int def_on_close = 295;
constexpr int def_console_update = 298;
constexpr int if_main = 321;
constexpr int call_updater_gui = 322;
constexpr int test_dict = 324;
constexpr int def_check_for_update = 330;
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
constexpr int installed = 122;       // the installed record's time: only an interrupt fails it
constexpr int rollback_test = 123;   // a build signed before the installed one
constexpr int rollback_raise = 124;
constexpr int signature_remove = 126;  // inside try/except FileNotFoundError: pass (125-128)
constexpr int signature_open = 129;    // the with statement: enter and exit of s
constexpr int signature_write = 130;
constexpr int signature_flush = 131;
constexpr int signature_fsync = 132;
constexpr int unfinished = 133;        // if not complete: raise OSError(...): the file's checks ran
constexpr int remove_partial = 137;    // inside if f is not None: try/except Exception: pass (135-139)
constexpr int remove_signature = 142;  // inside if public_key is not None: try/except Exception: pass (140-144)
constexpr int failure_report = 145;
}  // namespace download

namespace patch {  // inside the download, lines 48-77; the statements it shares
                   // with the build's download report the build's lines
constexpr int patches = 48;         // if globals().get("UPDATE_PATCHES"): try: ...
constexpr int import_zstd = 50;     // from backports import zstd (compression.zstd from 3.14 on)
constexpr int import_hashlib = 51;
constexpr int main_exe = 52;
constexpr int launcher_open = 53;   // the with statement around the launcher's one read
constexpr int launcher_read = 54;   // launcher = old.read()
constexpr int launcher_hash = 55;   // old_sha = hashlib.sha256(launcher).hexdigest()
constexpr int record = 56;          // if public_key is not None: installed = <the record, against launcher>
constexpr int request = 57;
constexpr int urlopen = 58;         // the with statement: enter and exit of patch_resp
constexpr int https_check = 59;     // lines 59-62: every hop https
constexpr int first_read = 63;
constexpr int frame_header = 64;    // total_size from the frame header
constexpr int prefix = 65;          // the launcher's bytes go once the prefix has them (66)
constexpr int decompressor = 67;
constexpr int decompress = 68;      // the while loop (68-70) inside the build's `with open`
constexpr int too_long = 69;
constexpr int patch_read = 70;
constexpr int trailing = 71;
constexpr int remove_partial = 75;  // except Exception: if f is not None: try/except (74-76), f = None
}  // namespace patch

namespace replace_and_run {  // def at 155
constexpr int exe_dir = 156;
constexpr int main_exe = 157;
constexpr int old_exe = 158;
constexpr int signed_test = 159;  // signed = globals().get("UPDATE_PUBLIC_KEY") is not None
                                  // 160: backed_up = record_kept = started = False; 161: try:
constexpr int heal_test = 162;
constexpr int heal = 163;         // the record's backup back first, then the launcher's
constexpr int stale_record_test = 164;  // if os.path.lexists(main_exe + ".minisig.old"):
constexpr int stale_record_remove = 165;
constexpr int mode_test = 166;    // if os.name != "nt": the permission bits (167-172)
constexpr int launcher_test = 167;
constexpr int launcher_mode = 168;
constexpr int download_mode = 170;
constexpr int exec_bits = 171;
constexpr int chmod = 172;
constexpr int nt_test = 173;
constexpr int nt_exists = 174;
constexpr int nt_stale_test = 175;  // a backup left read-only is made writable at 176
constexpr int nt_writable = 176;
constexpr int nt_backup = 177;
constexpr int stale_test = 180;   // inside else: (179)
constexpr int stale_remove = 181;
constexpr int link_test = 182;
constexpr int link = 183;         // try: os.link(...), except OSError: (184) a synced copy (185-187)
constexpr int record_test = 189;  // if backed_up and signed and os.path.lexists(main_exe + ".minisig"):
constexpr int record_link = 190;  // try: os.link(...), except OSError: (191) a synced copy (192-194)
constexpr int replace = 196;
constexpr int record_install_test = 197;  // the download's signature renamed to the record at 198
constexpr int record_drop_test = 199;     // elif: no signature kept, the old record removed at 200
constexpr int sync_test = 201;    // if os.name != "nt": os.open at 202, os.fsync at 203, os.close at 204
constexpr int frozen_test = 205;  // if hasattr(sys, "_MEIPASS"):
constexpr int popen_fresh = 206;
constexpr int popen = 208;
                                  // 209: started = True; 210: try:
constexpr int backup_record_test = 211;  // the record's backup removed at 212
constexpr int exists_old = 213;
constexpr int nt_old_test = 214;  // the backup made writable at 215
constexpr int remove_old = 216;
constexpr int resync_test = 217;  // if os.name != "nt": the directory synced again at 218-220
                                  // 221: except Exception: pass; 222: except Exception as e:
                                  // 223: if backed_up and not started:
constexpr int rollback_record = 225;  // inside if record_kept: (224) try/except Exception: pass (225-226)
constexpr int rollback = 227;     // inside try/except Exception: pass (227-228)
constexpr int raise_error = 229;
}  // namespace replace_and_run

namespace init {  // def at 234
constexpr int tk_available = 235;
constexpr int console_update = 236;
constexpr int tk_root = 238;
constexpr int title = 239;
constexpr int size = 240;
constexpr int resizable = 241;
constexpr int configure_bg = 242;
constexpr int x = 243;
constexpr int y = 244;
constexpr int position = 245;
constexpr int card = 246;
constexpr int card_pack = 247;
constexpr int title_lbl = 248;
constexpr int title_lbl_pack = 249;
constexpr int progress = 250;
constexpr int style = 251;
constexpr int theme_use = 252;
constexpr int style_configure = 253;
constexpr int progress_pack = 254;
constexpr int speed_lbl = 255;
constexpr int speed_lbl_pack = 256;
constexpr int protocol = 257;
constexpr int thread = 258;
constexpr int mainloop = 259;
}  // namespace init

namespace run_update {  // def at 261
constexpr int def_progress = 262;
constexpr int download = 280;
constexpr int test_new_exe = 281;
constexpr int post_ready = 282;    // lambda5 is defined here
constexpr int post_complete = 284; // lambda6 is defined here
}  // namespace run_update

namespace run_progress {  // def at 262
constexpr int test_failed = 263;
constexpr int post_failed_label = 264;  // lambda
constexpr int post_error_box = 266;     // lambda1
constexpr int post_exit = 268;          // exit_lambda: the lambdas are numbered without it,
                                        // so lambda2 is the bar posted at 271
constexpr int post_bar = 271;
constexpr int test_known = 273;
constexpr int post_known_text = 274;
constexpr int post_bytes_text = 277;
}  // namespace run_progress

namespace lambdas {  // each lambda's one statement sits on the line after its definition
constexpr int failed_label = 265;  // lambda
constexpr int error_box = 267;     // lambda1
constexpr int exit = 269;          // the exit action
constexpr int bar = 272;           // lambda2
constexpr int known_text = 275;    // lambda3
constexpr int bytes_text = 278;    // lambda4
constexpr int ready_label = 283;   // lambda5
constexpr int complete = 285;      // lambda6
}  // namespace lambdas

namespace complete_update {  // def at 287
constexpr int replace_and_run = 289;
constexpr int destroy = 290;
constexpr int showerror = 292;
constexpr int exit = 293;
}  // namespace complete_update

namespace on_close {  // def at 295
constexpr int exit = 296;
}  // namespace on_close

namespace console_update {  // def at 298
constexpr int notice = 299;
constexpr int def_progress = 301;
constexpr int download = 310;
constexpr int test_new_exe = 311;
constexpr int ready = 313;
constexpr int replace_and_run = 315;
constexpr int error_line = 317;
constexpr int exit = 318;
}  // namespace console_update

namespace console_progress {  // def at 301
constexpr int test_failed = 302;
constexpr int failed_line = 303;
constexpr int exit = 304;
constexpr int test_known = 305;
constexpr int known_line = 306;
constexpr int bytes_line = 308;
}  // namespace console_progress

namespace check {  // def at 330
constexpr int exe_dir = 331;
constexpr int main_exe = 332;
constexpr int public_key = 333;  // public_key = globals().get("UPDATE_PUBLIC_KEY")
constexpr int parse_key = 335;   // inside if public_key is not None: (334-335)
constexpr int request = 336;     // the digest's or, with a key, the signature's request
constexpr int urlopen = 337;     // the with statement: enter and exit of resp
constexpr int https_check = 338; // lines 338-341: every hop https
constexpr int read = 342;
constexpr int size = 343;
constexpr int size_raise = 344;
constexpr int fields = 346;      // inside if public_key is None: (345-355)
constexpr int digest_raise = 348;
constexpr int import_hashlib = 349;
constexpr int launcher_open = 351;  // inside try/except FileNotFoundError: return True (350-354)
constexpr int launcher_hash = 352;
constexpr int compare_digest = 355;
constexpr int verify = 356;
constexpr int record_open = 358;    // inside try/except Exception: return True (357-361)
constexpr int record_equal = 362;
constexpr int record_proven = 363;  // the equal record proven against the launcher: only an interrupt fails it
constexpr int installed = 368;      // the record proven against the launcher: only an interrupt fails it
}  // namespace check

namespace folder {  // a folder launcher's contents, inside the download and the swap
constexpr int running = 370;         // folder = <the contents folder of a folder launcher, or None>
constexpr int list_running = 371;    // the running folder listed in MAIN_EXE_NAME + ".folders"
constexpr int manifest_request = 372;
constexpr int manifest_urlopen = 373;     // the with statement: enter and exit of resp
constexpr int manifest_https_check = 374; // lines 374-377: every hop https
constexpr int manifest_length = 378;      // a body whose end can be told from a cut
constexpr int manifest_read = 379;
constexpr int manifest_size = 380;
constexpr int manifest_size_raise = 381;
constexpr int signature_request = 382;    // lines 382-389 as fetch_beside's: the manifest's signature
constexpr int verify = 390;
constexpr int parse = 391;           // the manifest read by json and held to its rules
constexpr int remove_old = 392;      // inside try/except Exception: pass
constexpr int plan = 393;            // the folder that stands, or the local copies and the downloads
constexpr int tally = 394;           // one total for all that travels
constexpr int build_digest = 395;    // the build's SHA-256 and size are the manifest's
constexpr int build_names = 396;     // the build's archive names the manifest's folder
constexpr int temp_remove = 397;     // what an interrupted update left at the temporary name
constexpr int list_made = 398;
constexpr int temp_mkdir = 399;
constexpr int mkdir = 400;
constexpr int copy = 401;
constexpr int file_request = 402;
constexpr int file_urlopen = 403;    // the with statement: enter and exit of file_resp
constexpr int file_https_check = 404;  // lines 404-407: every hop https
constexpr int file_open = 408;       // the with statement: enter and exit of the new file
constexpr int decompress = 409;
constexpr int file_check = 410;      // the file's size and SHA-256 are the manifest's
constexpr int file_mode = 411;
constexpr int file_sync = 412;
constexpr int link = 413;
constexpr int sync_dirs = 414;
constexpr int rename = 415;
constexpr int sync_install = 416;
constexpr int swap_check = 420;      // replace_and_run: the new build's contents folder stands
constexpr int swap_remove_old = 421; // replace_and_run: inside try/except Exception: pass
}  // namespace folder

}  // namespace updater::line
