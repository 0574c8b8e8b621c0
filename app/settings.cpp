#include "app/settings.h"

namespace kel::app {
namespace {

// The box colour table as new: the default box colour first, then fifteen
// distinct colours a patcher may pick by index.
constexpr std::array<rgb, box_color_count> default_box_colors = {{
    {221, 221, 221},
    {255, 0, 0},
    {0, 170, 0},
    {0, 0, 255},
    {255, 170, 0},
    {170, 0, 170},
    {0, 170, 170},
    {119, 119, 119},
    {255, 119, 119},
    {119, 221, 119},
    {119, 119, 255},
    {255, 221, 119},
    {221, 119, 221},
    {119, 221, 221},
    {0, 0, 0},
    {255, 255, 255},
}};

app_settings make_defaults()
{
    app_settings s;
    s.box_colors = default_box_colors;
    return s;
}

app_settings g_settings = make_defaults();

}  // namespace

app_settings &settings() { return g_settings; }

void settings_reset() { g_settings = make_defaults(); }

}  // namespace kel::app
