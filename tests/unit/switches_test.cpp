#include "app/switches.h"
#include "platform/text.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using ::testing::HasSubstr;

app::ParsedSwitches parse(std::vector<std::u16string> args) { return app::parseSwitches(args); }

TEST(Switches, EverySwitchSetsItsPartAndCaseDoesNotMatter) {
    const auto p = parse({u"/C", u"/e", u"/P", u"/s", u"/B", u"/l", u"/J", u"/port:1-2.3",
                          u"/SERIAL:Sn-1", u"/port:1-2.3", u"/log:/srv/j.jsonl"});
    ASSERT_TRUE(p.usable()) << p.conflict;
    const app::Request& r = p.request;
    EXPECT_TRUE(r.showChipVersions && r.showExeVersion && r.updateRequested && r.silent &&
                r.background && r.list && r.json && r.batch());
    EXPECT_STREQ(app::modeSwitch(r), "/p");
    // Each adapter once, in order; a value keeps its case.
    EXPECT_EQ(r.named, (std::vector<app::Named>{{false, "1-2.3"}, {true, "Sn-1"}}));
    EXPECT_EQ(r.journal, "/srv/j.jsonl");
    // The last of /p and /f counts; /save: alone reads as /c does.
    EXPECT_STREQ(app::modeSwitch(parse({u"/p", u"/f"}).request), "/f");
    const auto save = parse({u"/save:copy.hex"});
    EXPECT_TRUE(save.usable() && save.request.showChipVersions && !save.request.updateRequested);
    EXPECT_EQ(parse({u"/a", u"/n:1000", u"/p"}).request.expected, 1000);
    const auto labels = parse({u"/c", u"/station:Line 4", u"/tag:wo=7", u"/TAG:op=Ana Lin"});
    EXPECT_EQ(labels.request.station, "Line 4");
    EXPECT_EQ(labels.request.tags,
              (std::map<std::string, std::string>{{"op", "Ana Lin"}, {"wo", "7"}}));
    EXPECT_EQ(parse({u"/w", u"/n:3", u"/f"}).conflict, "");
}

TEST(Switches, UnknownSwitchesAndBadValuesAskForTheUsage) {
    for (const std::u16string arg : {u"/h", u"/x", u"/ee", u"-e", u"/e ", u"/port:", u"/n:0",
                                     u"/n:1001", u"/n:12345", u"/n:-1", u"/log:", u"/save:"}) {
        const auto p = parse({u"/c", arg});
        EXPECT_TRUE(p.unrecognised) << platform::utf16ToUtf8(arg);
        EXPECT_TRUE(p.conflict.empty());
    }
}

TEST(Switches, SwitchesThatDoNotGoTogetherNameTheirConflict) {
    const std::pair<std::vector<std::u16string>, const char*> cases[] = {
        {{u"/a", u"/port:1-1", u"/c"}, "/a takes every adapter"},
        {{u"/w", u"/a", u"/p"}, "/w takes each adapter as it is plugged in"},
        {{u"/w", u"/serial:x", u"/p"}, "/w takes each adapter"},
        {{u"/w"}, "/w needs /c, /p or /f"},
        {{u"/n:4", u"/p"}, "/n:COUNT is for /a or /w"},
        {{u"/a", u"/save:x.hex", u"/p"}, "/save:FILE saves one adapter"},
        {{u"/port:1", u"/port:2", u"/save:x.hex"}, "/save:FILE saves one adapter"},
        {{u"/w", u"/save:x.hex"}, "/save:FILE saves one adapter"}, // /save: reads as /c
        {{u"/c", u"/station:"}, "/station:NAME takes"},
        {{u"/c", u"/station:a\x1B[31m"}, "/station:NAME takes"},
        {{u"/c", u"/tag:Wo=1"}, "/tag:KEY=VALUE takes"},
        {{u"/c", u"/tag:wo"}, "/tag:KEY=VALUE takes"},
    };
    for (const auto& [args, words] : cases) {
        const auto p = parse(args);
        EXPECT_FALSE(p.unrecognised);
        EXPECT_THAT(p.conflict, HasSubstr(words));
    }
}

} // namespace
