// The start-up pieces of the program that can be tried without starting
// it: the settings of setoption and the reader of forwarded launches.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "app/receiver_internal.h"
#include "app/settings.h"
#include "app/single_instance.h"
#include "kel/kel.h"
#include "kernel/time/scheduler.h"

using kel::app::forward_message;
using kel::app::forward_message_parse;
using kel::app::forward_parse;

namespace {

void setoption(std::initializer_list<atom> values)
{
    std::vector<atom> argv(values);
    kel::app::receiver_setoption(nullptr, gensym("setoption"), long(argv.size()), argv.data());
}

atom sym(const char *s)
{
    atom a;
    atom_setsym(&a, gensym(s));
    return a;
}
atom num(long n)
{
    atom a;
    atom_setlong(&a, n);
    return a;
}
atom real(double f)
{
    atom a;
    atom_setfloat(&a, f);
    return a;
}

}  // namespace

TEST(SetOption, EachValueIsTakenAsAnInteger)
{
    struct Case {
        atom value;
        int stored;
    };
    const Case cases[] = {
        {num(3), 3},
        {num(-4), -4},
        {real(1.9), 1},
        {real(-2.7), -2},
        {real(1e300), INT32_MAX},
        {real(-1e300), INT32_MIN},
        {sym("yes"), 0},
    };
    for (const Case &c : cases) {
        kel::app::settings_reset();
        setoption({sym("extendedpreview"), c.value});
        EXPECT_EQ(kel::app::settings().options["extendedpreview"], c.stored) << atom_getfloat(&c.value);
    }
}

TEST(SetOption, KeywordsAreActedOn)
{
    kel::app::settings_reset();
    setoption({sym("deffont"), num(3), real(12.5), sym("Monaco")});
    EXPECT_EQ(kel::app::settings().default_font, 3);
    EXPECT_EQ(kel::app::settings().default_font_size, 12);
    setoption({sym("setdlgtofilepath"), real(0.5)});
    EXPECT_FALSE(kel::app::settings().dialog_to_file_path) << "0.5 is 0";
    setoption({sym("setdlgtofilepath"), num(2)});
    EXPECT_TRUE(kel::app::settings().dialog_to_file_path);
    setoption({sym("noloadbangdisable"), num(1)});
    EXPECT_EQ(noloadbangdisable_get(), 1);
    setoption({sym("noloadbangdisable"), num(0)});
    EXPECT_EQ(noloadbangdisable_get(), 0);
    setoption({sym("overdrive"), real(1.0)});
    EXPECT_TRUE(kel::sched_state().overdrive_requested.load());
    setoption({sym("overdrive"), num(0)});
    EXPECT_FALSE(kel::sched_state().overdrive_requested.load());
}

TEST(SetOption, UnknownKeywordsAndMalformedMessagesChangeNothing)
{
    kel::app::settings_reset();
    setoption({sym("nosuchoption"), num(1)});
    setoption({num(1), num(2)});
    setoption({});
    setoption({sym("deffont"), num(9)});  // needs number and size
    EXPECT_TRUE(kel::app::settings().options.empty());
    EXPECT_EQ(kel::app::settings().default_font, 0);
}

TEST(ForwardedLaunch, MessagesAreReadWholeOrRefused)
{
    const std::string good = forward_message("/home/me/patch.pat");
    std::string with_nul = forward_message("a.pat");
    with_nul[9] = '\0';
    std::string oversize = forward_message("x");
    oversize[4] = '\x7f';  // a length of about 2 GB
    std::string at_limit = forward_message(std::string(kel::app::forward_name_limit, 'n'));
    std::string over_limit = forward_message(std::string(kel::app::forward_name_limit + 1, 'n'));
    struct Case {
        const char *what;
        std::string bytes;
        forward_parse want;
        std::string name;
    };
    const Case cases[] = {
        {"a whole message", good, forward_parse::complete, "/home/me/patch.pat"},
        {"no document", forward_message(""), forward_parse::complete, ""},
        {"the name at the limit", at_limit, forward_parse::complete, std::string(kel::app::forward_name_limit, 'n')},
        {"nothing yet", "", forward_parse::more, ""},
        {"half the magic", "ke", forward_parse::more, ""},
        {"the header only", good.substr(0, 8), forward_parse::more, ""},
        {"half the name", good.substr(0, good.size() - 3), forward_parse::more, ""},
        {"garbage", "GET / HTTP/1.1\r\n", forward_parse::refused, ""},
        {"garbage at once", "x", forward_parse::refused, ""},
        {"a length over the limit", over_limit.substr(0, 8), forward_parse::refused, ""},
        {"a huge length", oversize.substr(0, 8), forward_parse::refused, ""},
        {"a NUL in the name", with_nul, forward_parse::refused, ""},
        {"bytes after the end", good + "more", forward_parse::refused, ""},
    };
    for (const Case &c : cases) {
        std::string name;
        EXPECT_EQ(forward_message_parse(c.bytes.data(), c.bytes.size(), &name), c.want) << c.what;
        EXPECT_EQ(name, c.name) << c.what;
    }
}
