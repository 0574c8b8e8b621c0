// opened: foreign documents offered to the instances that accept their type.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "console_capture.h"
#include "object_support.h"
#include "objects/opened.h"
#include "temp_dir.h"

namespace kel::test {
namespace {

class Opened : public ObjectTest {
protected:
    void SetUp() override
    {
        ObjectTest::SetUp();
        ASSERT_TRUE(dir.ok());
        std::ofstream(dir.file("song.wav")) << "RIFF";
        char file[MAX_FILENAME_CHARS];
        ASSERT_EQ(path_frompathname(dir.file("song.wav").c_str(), &path, file), 0);
    }
    // The three outlets of x, tagged tag.name, tag.path, tag.type.
    void listen(object *x, const std::string &tag)
    {
        tags.push_back(tag + ".name");
        tags.push_back(tag + ".path");
        tags.push_back(tag + ".type");
        for (int k = 0; k < 3; k++) rec_.attach(x, k, tags[tags.size() - 3 + k].c_str());
    }
    // The log with the folder's name written as DIR.
    std::string logged() const
    {
        std::string text = g_log;
        for (size_t at; (at = text.find(dir.path())) != std::string::npos;) text.replace(at, dir.path().size(), "DIR");
        return text;
    }
    temp_dir dir{"kel-opened"};
    short path = 0;
    std::vector<std::string> tags;
};

const long wave = KEL_FOURCC('W', 'A', 'V', 'E');

TEST_F(Opened, OnlyInstancesOfTheTypeOrOfAnyTypeTakeTheDocumentAndAnswerLater)
{
    tags.reserve(9);
    object *any = make("opened");
    object *text = make("opened TEXT");
    object *waves = make("opened WAVEFORM");  // the first four characters count
    ASSERT_NE(any, nullptr);
    listen(any, "any");
    listen(text, "text");
    listen(waves, "wave");
    EXPECT_TRUE(opened_offer("song.wav", path, wave));
    EXPECT_EQ(g_log, "");  // at low priority
    drain_queue();
    EXPECT_EQ(logged(),
              "wave.type@0 symbol S:WAVE | wave.path@0 symbol S:DIR/song.wav | wave.name@0 symbol S:DIR/song.wav | "
              "any.type@0 symbol S:WAVE | any.path@0 symbol S:DIR/song.wav | any.name@0 symbol S:DIR/song.wav");
    g_log.clear();
    send_text(any, "bang");
    EXPECT_EQ(logged(),
              "any.type@0 symbol S:WAVE | any.path@0 symbol S:DIR/song.wav | any.name@0 symbol S:DIR/song.wav");
    g_log.clear();
    send_text(text, "bang");  // nothing taken yet
    EXPECT_EQ(g_log, "");
}

TEST_F(Opened, NoInstanceOfTheTypeLeavesTheDocumentUnopened)
{
    make("opened TEXT");
    object *gone = make("opened");
    forget(gone);
    EXPECT_FALSE(opened_offer("song.wav", path, wave));
    drain_queue();
    EXPECT_EQ(g_log, "");
}

TEST_F(Opened, AMissingPatcherFileIsReportedAndTheDocumentStillSent)
{
    object *x = make("opened ---- no_such_patch.pat");
    listen(x, "x");
    console_capture console;
    EXPECT_TRUE(opened_offer("song.wav", path, wave));
    EXPECT_EQ(console.lines(), std::vector<std::string>{error_line("opened: can't open no_such_patch.pat")});
    drain_queue();
    EXPECT_EQ(logged(), "x.type@0 symbol S:WAVE | x.path@0 symbol S:DIR/song.wav | x.name@0 symbol S:DIR/song.wav");
}

}  // namespace
}  // namespace kel::test
