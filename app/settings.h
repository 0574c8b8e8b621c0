// The application's settings: what the kel receiver's configuration
// commands change and its get commands answer, and what the options and
// preferences files replay at start-up.
//
// They live in the application, not in kernel/core/settings.h, because no
// kernel module reads them: the kernel reads only verbose (and the scheduler
// keeps its own timing settings, sched_config()). Keeping them here, behind
// settings() and settings_reset(), gives a preferences file one record to
// load into and save from.
//
// The record is read and written on the main thread (the receiver's
// commands run there, or are deferred there when they touch windows).
#pragma once

#include <array>
#include <map>
#include <string>

namespace kel::app {

struct rgb {
    int red = 0, green = 0, blue = 0;  // each 0 .. 255
};

// The console window's rectangle, in screen coordinates.
struct window_rect {
    int top = 40, left = 40, bottom = 440, right = 640;
};

constexpr int box_color_count = 16;

struct app_settings {
    // Flags set by an int (true when non-zero).
    bool macsmartquotes = false;
    bool notypeinfo = false;
    bool mirror_to_console = false;
    bool auto_box_edit = false;
    bool select_text_on_click = false;
    bool dialog_to_file_path = false;
    bool float_console = false;
    bool enable_refresh = true;
    int disable_window_animation = 0;
    int bpatcher_option = 0;  // the kernel option byte set by bpatcher
    int modifiers = 0;

    double fix_width_ratio = 1.0;
    double refresh_interval = 1000.0 / 30.0;  // ms: refreshrate Hz is kept as 1000/Hz

    int default_patcher_width = 600;
    int default_patcher_height = 400;
    window_rect console_rect;

    // Entry 0 is the default box colour; entries 1 .. 15 can be changed.
    std::array<rgb, box_color_count> box_colors{};

    // The option flags of setoption (keyword -> value); keywords that
    // belong to other modules are handed to them instead.
    std::map<std::string, int> options;
    // deffont number size [name].
    int default_font = 0, default_font_size = 0;

    // Remembered file-dialog folders: four-character key -> folder full name.
    std::map<std::string, std::string> dialog_folders;
    bool dialog_folders_changed = false;  // since they were read at start-up
    std::string dialog_key;               // the key of the next file dialog (dialog_setkey)
};

// The one record, with its defaults until a command or a file changes it.
app_settings &settings();
// Puts every setting back to its default (tests, a preferences reload).
void settings_reset();

}  // namespace kel::app
