#include "app/dialog_folders.h"

#include <cstring>

#include "app/settings.h"
#include "kel/kel.h"
#include "kel/preferences.h"

namespace kel::app {
namespace {

constexpr const char *file_name = "keldialogpaths.txt";

// The key as the file writes it: four characters, cut at the first blank.
void dialog_setkey(long key)
{
    char text[5] = {char((key >> 24) & 0xff), char((key >> 16) & 0xff), char((key >> 8) & 0xff), char(key & 0xff), 0};
    if (char *blank = std::strchr(text, ' ')) *blank = '\0';
    settings().dialog_key = text;
}

}  // namespace

void dialog_folders_start()
{
    gensym("dialog_setkey")->thing = reinterpret_cast<object *>(&dialog_setkey);
    const short before = path_getdefault();
    preferences_read(file_name, 0, 0);
    path_setdefault(before, 0);
    settings().dialog_folders_changed = false;
}

// Written in the order the command takes its arguments, folder then key,
// so that the file replays as it was written.
void dialog_folders_finish()
{
    app_settings &s = settings();
    short folder = 0;
    if (!s.dialog_folders_changed || preferences_path(nullptr, 0, &folder) != 0) return;
    binbuf *lines = preferences_open();
    if (!lines) return;
    for (const auto &[key, remembered] : s.dialog_folders)
        preferences_add(lines, "sss", gensym("setdialogpath"), gensym(remembered.c_str()), gensym(key.c_str()));
    if (preferences_close(lines, file_name, folder) == 0) s.dialog_folders_changed = false;
}

}  // namespace kel::app
