// Command-line splitting and number parsing: the rules a Windows command line
// is taken apart by, and the sea-level argument's reading.
#include "command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Splits `text` into all its tokens with a roomy buffer.
std::vector<std::string> tokens(const char* text) {
    std::vector<std::string> out;
    for (;;) {
        char buf[512];
        size_t used = 0;
        size_t n = next_token(buf, sizeof buf, text, &used);
        text += used;
        if (n == 1 && *text == 0) break;
        out.emplace_back(buf);
        if (n == 1 && used == 0) break;
    }
    return out;
}

}  // namespace

TEST(NextToken, SplitsOnSpacesAndTabsOnly) {
    EXPECT_EQ(tokens("  a\tb   c"), (std::vector<std::string>{"a", "b", "c"}));
    // Carriage returns, line feeds and other controls are ordinary characters.
    EXPECT_EQ(tokens("a\rb c\nd \x01"), (std::vector<std::string>{"a\rb", "c\nd", "\x01"}));
}

TEST(NextToken, QuotesGroupAndDoubledQuotesAreLiteral) {
    EXPECT_EQ(tokens("\"my map.prj\" x"), (std::vector<std::string>{"my map.prj", "x"}));
    EXPECT_EQ(tokens("\"say \"\"hi\"\"\""), (std::vector<std::string>{"say \"hi\""}));
    // A quote may open or close in the middle of a token.
    EXPECT_EQ(tokens("ab\"c d\"ef g"), (std::vector<std::string>{"abc def", "g"}));
    // An unterminated quote runs to the end, blanks included.
    EXPECT_EQ(tokens("\"a b  "), (std::vector<std::string>{"a b  "}));
}

TEST(NextToken, BackslashNeverEscapesAQuote) {
    // A quoted path ending in a backslash keeps it, and its quote still closes.
    EXPECT_EQ(tokens("\"C:\\maps\\\" next"), (std::vector<std::string>{"C:\\maps\\", "next"}));
    // Outside quotes a backslash is stored and the quote after it opens a stretch.
    EXPECT_EQ(tokens("a\\\"b c\" d"), (std::vector<std::string>{"a\\b c", "d"}));
}

TEST(NextToken, ResultIsLengthPlusOneAndConsumedStopsAtTheBlank) {
    char buf[16];
    size_t used = 99;
    EXPECT_EQ(next_token(buf, sizeof buf, "  abc  def", &used), 4u);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(used, 5u);  // leading blanks counted, the ending blank not
    EXPECT_EQ(next_token(buf, sizeof buf, "   ", &used), 1u);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(used, 3u);
    // Two quotes make an empty, present-but-empty token: result 1 like a missing one.
    EXPECT_EQ(next_token(buf, sizeof buf, "\"\" x", &used), 1u);
    EXPECT_EQ(used, 2u);
}

TEST(NextToken, ATokenThatDoesNotFitIsDroppedWhole) {
    char buf[4] = {'z', 'z', 'z', 'z'};
    EXPECT_EQ(next_token(buf, sizeof buf, "abcd e", nullptr), 5u);
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(next_token(buf, sizeof buf, "abc e", nullptr), 4u);
    EXPECT_STREQ(buf, "abc");
    // Measuring only: no destination at all.
    size_t used = 0;
    EXPECT_EQ(next_token(nullptr, 0, " \"a b\"c d", &used), 5u);
    EXPECT_EQ(used, 7u);
}

TEST(SplitCommandLine, SkipsTheProgramPathAndFillsTheArguments) {
    CommandArguments args;
    split_command_line("\"C:\\Program Files\\hmap.exe\" -x \"a b.prj\" c.png d.png", &args);
    EXPECT_STREQ(args.option, "-x");
    EXPECT_STREQ(args.arg[0], "a b.prj");
    EXPECT_STREQ(args.arg[1], "c.png");
    EXPECT_STREQ(args.arg[2], "d.png");
    EXPECT_STREQ(args.arg[3], "");
    EXPECT_FALSE(args.surplus);
}

TEST(SplitCommandLine, LongOptionAndLongArgumentsArriveEmpty) {
    CommandArguments args;
    std::string long_arg(260, 'p');
    std::string line = "hmap -xy " + long_arg + " " + std::string(259, 'q') + " c d e";
    split_command_line(line.c_str(), &args);
    EXPECT_STREQ(args.option, "");  // three characters do not fit the option
    EXPECT_STREQ(args.arg[0], "");
    EXPECT_EQ(std::string(args.arg[1]), std::string(259, 'q'));
    EXPECT_STREQ(args.arg[2], "c");
    EXPECT_TRUE(args.surplus);
}

TEST(SplitCommandLine, TheSeventhTokenIsOnlyMeasured) {
    CommandArguments args;
    std::string line = "hmap -i a b c d " + std::string(5000, 'x');
    split_command_line(line.c_str(), &args);
    EXPECT_TRUE(args.surplus);
    split_command_line("hmap -i a b c d \"\"", &args);
    EXPECT_FALSE(args.surplus);  // an empty token is no surplus argument
}

TEST(SplitCommandLine, TheFirstArgumentIsAlsoKeptWholeAndTokensAreCounted) {
    // A dropped file's name in the option's place: too long for the option,
    // whole as an argument, with the tokens behind it counted.
    CommandArguments args;
    split_command_line("\"C:\\hmap.exe\" \"C:\\maps\\my map.prj\" a.png  b.png ", &args);
    EXPECT_STREQ(args.option, "");
    EXPECT_STREQ(args.first, "C:\\maps\\my map.prj");
    EXPECT_STREQ(args.arg[0], "a.png");
    EXPECT_STREQ(args.arg[1], "b.png");
    EXPECT_EQ(args.count, 3);
    split_command_line("hmap -x a b c", &args);
    EXPECT_STREQ(args.option, "-x");
    EXPECT_STREQ(args.first, "-x");
    EXPECT_EQ(args.count, 4);
    // An empty token ("") counts; blanks at the end do not; counting stops at 9.
    split_command_line("hmap a \"\"  ", &args);
    EXPECT_EQ(args.count, 2);
    split_command_line("hmap   ", &args);
    EXPECT_EQ(args.count, 0);
    EXPECT_STREQ(args.first, "");
    split_command_line("hmap 1 2 3 4 5 6 7 8 9 10", &args);
    EXPECT_EQ(args.count, 9);
    // -c's six arguments, and what lies beyond them; the import's seventh
    // token measured whole.
    split_command_line("hmap -c a b c d e f", &args);
    EXPECT_STREQ(args.arg[5], "f");
    EXPECT_TRUE(args.surplus);
    EXPECT_FALSE(args.beyond);
    split_command_line(("hmap -c a b c d " + std::string(800, 'e') + " f g").c_str(), &args);
    EXPECT_STREQ(args.arg[4], "");
    EXPECT_TRUE(args.surplus);
    EXPECT_TRUE(args.beyond);
    // Too long for a name: the first argument arrives empty, as any other.
    split_command_line(("hmap " + std::string(260, 'p')).c_str(), &args);
    EXPECT_STREQ(args.first, "");
    EXPECT_EQ(args.count, 1);
}

TEST(TakeArguments, AppliesTheSameRulesToShellSplitArguments) {
    std::string long_arg(260, 'p');
    const char* argv[] = {"hmap", "/X", "a.prj", long_arg.c_str(), "", "", "extra"};
    CommandArguments args;
    take_arguments(7, argv, &args);
    EXPECT_STREQ(args.option, "/X");
    EXPECT_STREQ(args.first, "/X");
    EXPECT_EQ(args.count, 6);
    EXPECT_STREQ(args.arg[0], "a.prj");
    EXPECT_STREQ(args.arg[1], "");
    EXPECT_TRUE(args.surplus);
    const char* three[] = {"hmap", "-sss"};
    take_arguments(2, three, &args);
    EXPECT_STREQ(args.option, "");
    EXPECT_STREQ(args.first, "-sss");
    EXPECT_EQ(args.count, 1);
    EXPECT_STREQ(args.arg[0], "");
    EXPECT_FALSE(args.surplus);
}

TEST(Utf16Units, CountCharactersAsWindowsDoes) {
    EXPECT_EQ(utf16_units(""), 0u);
    EXPECT_EQ(utf16_units("map.prj"), 7u);
    EXPECT_EQ(utf16_units("caf\xC3\xA9"), 4u);                     // é: two bytes, one unit
    EXPECT_EQ(utf16_units("\xE5\x9C\xB0\xE5\x9B\xB3"), 2u);        // 地図: three bytes each
    EXPECT_EQ(utf16_units("\xF0\x9F\x97\xBA"), 2u);                // the map emoji: a surrogate pair
    EXPECT_EQ(utf16_units("\xED\xA0\x80"), 1u);                    // a lone surrogate, as a Windows name holds it
    // Bytes that are no UTF-8 count one each.
    EXPECT_EQ(utf16_units("\xFF"), 1u);
    EXPECT_EQ(utf16_units("a\xC3"), 2u);                           // cut short by the end
    EXPECT_EQ(utf16_units("\xC0\xAF"), 2u);                        // overlong "/"
    EXPECT_EQ(utf16_units("\xF4\x90\x80\x80"), 4u);                // above U+10FFFF
    EXPECT_EQ(utf16_units("\xE5\x9C" "a"), 3u);                    // a sequence broken off
}

namespace {

std::string repeat(const std::string& text, size_t times) {
    std::string out;
    for (size_t i = 0; i < times; ++i) out += text;
    return out;
}

}  // namespace

TEST(SplitCommandLine, TheLimitCountsCharactersNotBytes) {
    const std::string e_acute = "\xC3\xA9", chi = "\xE5\x9C\xB0", map = "\xF0\x9F\x97\xBA";
    const std::string fits[] = {repeat(e_acute, 259), repeat(chi, 259), repeat(map, 129) + "a"};
    const std::string too_long[] = {repeat(e_acute, 260), repeat(chi, 260), repeat(map, 130), "\xFF" + repeat(chi, 259)};
    CommandArguments args;
    for (const auto& arg : fits) {
        split_command_line(("hmap -s " + arg + " 7").c_str(), &args);
        EXPECT_EQ(std::string(args.arg[0]), arg);
        const char* argv[] = {"hmap", "-s", arg.c_str(), "7"};
        take_arguments(4, argv, &args);
        EXPECT_EQ(std::string(args.arg[0]), arg);
    }
    for (const auto& arg : too_long) {
        split_command_line(("hmap -s " + arg + " 7").c_str(), &args);
        EXPECT_STREQ(args.arg[0], "");
        EXPECT_STREQ(args.arg[1], "7");
        const char* argv[] = {"hmap", "-s", arg.c_str(), "7"};
        take_arguments(4, argv, &args);
        EXPECT_STREQ(args.arg[0], "");
    }
}
