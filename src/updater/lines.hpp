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
constexpr int def_replace_and_run = 67;
constexpr int class_updater_gui = 100;
constexpr int width = 101;
constexpr int height = 102;
constexpr int def_init = 104;
constexpr int def_run_update = 131;
constexpr int def_complete_update = 157;
constexpr int def_on_close = 165;
constexpr int def_console_update = 168;
constexpr int if_main = 191;
constexpr int call_updater_gui = 192;
constexpr int test_dict = 194;
}  // namespace body

namespace get_exe_dir {  // def at 30
constexpr int frozen = 31;
constexpr int frozen_dir = 32;
constexpr int file_dir = 33;
}  // namespace get_exe_dir

namespace download {  // def at 36
constexpr int exe_dir = 37;
constexpr int new_path = 38;
constexpr int request = 40;
constexpr int urlopen = 41;  // the with statement: enter and exit of resp
constexpr int https_check = 42;
constexpr int https_raise = 43;
constexpr int total_size = 44;
constexpr int start_time = 47;
constexpr int open_file = 48;  // the with statement: enter and exit of f
constexpr int read = 50;
constexpr int chunk_test = 51;
constexpr int write = 53;
constexpr int downloaded = 54;
constexpr int percent = 55;
constexpr int elapsed = 56;
constexpr int speed = 57;
constexpr int report = 58;
constexpr int size_check = 59;
constexpr int size_raise = 60;
constexpr int failure_report = 63;
}  // namespace download

namespace replace_and_run {  // def at 67
constexpr int exe_dir = 68;
constexpr int main_exe = 69;
constexpr int old_exe = 70;
constexpr int exists_main = 73;
constexpr int backup = 74;
constexpr int move = 76;
constexpr int stat_mode = 77;
constexpr int exec_bits = 78;
constexpr int chmod = 79;
constexpr int popen = 80;
constexpr int exists_old = 82;  // inside try/except Exception: pass (81-85)
constexpr int remove_old = 83;
constexpr int rollback = 89;    // inside try/except Exception: pass (88-91)
constexpr int raise_error = 92;
}  // namespace replace_and_run

namespace init {  // def at 104
constexpr int tk_available = 105;
constexpr int console_update = 106;
constexpr int tk_root = 108;
constexpr int title = 109;
constexpr int size = 110;
constexpr int resizable = 111;
constexpr int configure_bg = 112;
constexpr int x = 113;
constexpr int y = 114;
constexpr int position = 115;
constexpr int card = 116;
constexpr int card_pack = 117;
constexpr int title_lbl = 118;
constexpr int title_lbl_pack = 119;
constexpr int progress = 120;
constexpr int style = 121;
constexpr int theme_use = 122;
constexpr int style_configure = 123;
constexpr int progress_pack = 124;
constexpr int speed_lbl = 125;
constexpr int speed_lbl_pack = 126;
constexpr int protocol = 127;
constexpr int thread = 128;
constexpr int mainloop = 129;
}  // namespace init

namespace run_update {  // def at 131
constexpr int def_progress = 132;
constexpr int download = 150;
constexpr int test_new_exe = 151;
constexpr int post_ready = 152;    // lambda5 is defined here
constexpr int post_complete = 154; // lambda6 is defined here
}  // namespace run_update

namespace run_progress {  // def at 132
constexpr int test_failed = 133;
constexpr int post_failed_label = 134;  // lambda
constexpr int post_error_box = 136;     // lambda1
constexpr int post_exit = 138;          // lambda2 in source order is the bar; see below
constexpr int post_bar = 141;
constexpr int test_known = 143;
constexpr int post_known_text = 144;
constexpr int post_bytes_text = 147;
}  // namespace run_progress

namespace lambdas {  // each lambda's one statement sits on the line after its definition
constexpr int failed_label = 135;  // lambda
constexpr int error_box = 137;     // lambda1
constexpr int exit = 139;          // the exit action
constexpr int bar = 142;           // lambda2
constexpr int known_text = 145;    // lambda3
constexpr int bytes_text = 148;    // lambda4
constexpr int ready_label = 153;   // lambda5
constexpr int complete = 155;      // lambda6
}  // namespace lambdas

namespace complete_update {  // def at 157
constexpr int replace_and_run = 159;
constexpr int destroy = 160;
constexpr int showerror = 162;
constexpr int exit = 163;
}  // namespace complete_update

namespace on_close {  // def at 165
constexpr int exit = 166;
}  // namespace on_close

namespace console_update {  // def at 168
constexpr int notice = 169;
constexpr int def_progress = 171;
constexpr int download = 180;
constexpr int test_new_exe = 181;
constexpr int ready = 183;
constexpr int replace_and_run = 185;
constexpr int error_line = 187;
constexpr int exit = 188;
}  // namespace console_update

namespace console_progress {  // def at 171
constexpr int test_failed = 172;
constexpr int failed_line = 173;
constexpr int exit = 174;
constexpr int test_known = 175;
constexpr int known_line = 176;
constexpr int bytes_line = 178;
}  // namespace console_progress

}  // namespace updater::line
