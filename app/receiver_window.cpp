// The kel receiver's window commands, headless: nothing is drawn and no
// pointer moves, but each command leaves the state a window layer would
// start from, so that a later one finds the menus, the cursor, the font maps,
// the new-object list and the shortcuts as the messages left them.
#include <string>
#include <vector>

#include "app/receiver_internal.h"

namespace kel::app {
namespace {

struct font_mapping {
    std::string kind;  // fontmap, genericfontmap, savefontmap, genericsavefontmap
    std::string from, to;
};

struct headless_windows {
    int cursor_x = 0, cursor_y = 0;
    bool cursor_hidden = false;  // hide and show are not counted
    bool menu_bar_shown = true;
    bool windows_menu_flag = true;  // the inverse of kelinwmenu's value
    bool global_window_shown = false;
    std::vector<font_mapping> font_maps;
    std::vector<std::vector<std::string>> new_object_list;
    std::vector<std::vector<atom>> shortcuts;
};

headless_windows &windows()
{
    static auto *w = new headless_windows;
    return *w;
}

void receiver_pupdate(receiver *, long x, long y)
{
    windows().cursor_x = int(x);
    windows().cursor_y = int(y);
}

void receiver_movecursor(receiver *x, long h, long v) { receiver_pupdate(x, h, v); }

// No window list to tidy, nothing to redraw.
void receiver_nothing(receiver *) {}

void receiver_hidemenubar(receiver *) { windows().menu_bar_shown = false; }
void receiver_showmenubar(receiver *) { windows().menu_bar_shown = true; }
void receiver_kelinwmenu(receiver *, long n) { windows().windows_menu_flag = n == 0; }
void receiver_showglobal(receiver *) { windows().global_window_shown = true; }
void receiver_hideglobal(receiver *) { windows().global_window_shown = false; }
void receiver_hidecursor(receiver *) { windows().cursor_hidden = true; }
void receiver_showcursor(receiver *) { windows().cursor_hidden = false; }

template <const char *Kind> void receiver_fontmap(receiver *, symbol *from, symbol *to)
{
    windows().font_maps.push_back({Kind, from->name, to->name});
}

constexpr char fontmap_name[] = "fontmap";
constexpr char genericfontmap_name[] = "genericfontmap";
constexpr char savefontmap_name[] = "savefontmap";
constexpr char genericsavefontmap_name[] = "genericsavefontmap";

void receiver_oblist(receiver *, symbol *category, symbol *name, symbol *extra)
{
    std::vector<std::string> entry = {category->name, name->name};
    if (extra->name[0]) entry.push_back(extra->name);
    windows().new_object_list.push_back(std::move(entry));
}

void receiver_shortcut(receiver *, symbol *, long argc, atom *argv)
{
    windows().shortcuts.emplace_back(argv, argv + argc);
}

// Headless no key is ever held down and the mouse button is up: every
// state reads 0 (-32768 would mean down).
void receiver_portenforce(receiver *, long)
{
    const int up = 0;
    post("cmd %d shift %d option %d ctrl %d", up, up, up, up);
}

}  // namespace

void receiver_add_window(kel_class *c)
{
    class_addmethod(c, as_receiver_method(&receiver_pupdate), "pupdate", ATYPE_LONG, ATYPE_LONG, 0);
    class_addmethod(c, as_receiver_method(&receiver_movecursor), "movecursor", ATYPE_DEFLONG, ATYPE_DEFLONG, 0);
    for (const char *name : {"clean", "refresh"}) class_addmethod(c, as_receiver_method(&receiver_nothing), name, 0);
    class_addmethod(c, as_receiver_method(&receiver_hidemenubar), "hidemenubar", 0);
    class_addmethod(c, as_receiver_method(&receiver_showmenubar), "showmenubar", 0);
    class_addmethod(c, as_receiver_method(&receiver_kelinwmenu), "kelinwmenu", ATYPE_LONG, 0);
    class_addmethod(c, as_receiver_method(&receiver_showglobal), "showglobal", 0);
    class_addmethod(c, as_receiver_method(&receiver_hideglobal), "hideglobal", 0);
    class_addmethod(c, as_receiver_method(&receiver_hidecursor), "hidecursor", 0);
    class_addmethod(c, as_receiver_method(&receiver_showcursor), "showcursor", 0);
    class_addmethod(c, as_receiver_method(&receiver_fontmap<fontmap_name>), fontmap_name, ATYPE_SYM, ATYPE_SYM, 0);
    class_addmethod(c, as_receiver_method(&receiver_fontmap<genericfontmap_name>), genericfontmap_name, ATYPE_SYM,
                    ATYPE_SYM, 0);
    class_addmethod(c, as_receiver_method(&receiver_fontmap<savefontmap_name>), savefontmap_name, ATYPE_SYM, ATYPE_SYM,
                    0);
    class_addmethod(c, as_receiver_method(&receiver_fontmap<genericsavefontmap_name>), genericsavefontmap_name,
                    ATYPE_SYM, ATYPE_SYM, 0);
    class_addmethod(c, as_receiver_method(&receiver_oblist), "oblist", ATYPE_SYM, ATYPE_SYM, ATYPE_DEFSYM, 0);
    class_addmethod(c, as_receiver_method(&receiver_shortcut), "shortcut", ATYPE_GIMME, 0);
    class_addmethod(c, as_receiver_method(&receiver_portenforce), "portenforce", ATYPE_LONG, 0);
}

}  // namespace kel::app
