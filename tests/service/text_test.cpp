#include "text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(TextTest, CopyCutsAndTerminatesAndNullReadsEmpty) {
    char buf[5];
    memset(buf, 'Z', sizeof buf);
    EXPECT_EQ(str_copy(buf, "abcdefgh"), 8u);
    EXPECT_STREQ(buf, "abcd");
    EXPECT_EQ(str_copy(buf, nullptr), 0u);
    EXPECT_STREQ(buf, "");
}

TEST(TextTest, FormatAndAppendNeverPassTheCapacity) {
    char buf[8 + 1];
    buf[8] = '#';
    EXPECT_EQ(str_format(buf, 8, "%s-%d", "abcdef", 42), 9);
    EXPECT_STREQ(buf, "abcdef-");
    EXPECT_EQ(buf[8], '#');
    char a[6] = "ab";
    str_append(a, "cdefgh");
    EXPECT_STREQ(a, "abcde");
}

TEST(TextTest, JsonEscapeKeepsOrdinaryTextAndEscapesTheRest) {
    char buf[64];
    json_escape(buf, sizeof buf, "beep.wav");
    EXPECT_STREQ(buf, "beep.wav");
    json_escape(buf, sizeof buf, "a\"b\\c\nd");
    EXPECT_STREQ(buf, "a\\\"b\\\\c\\u000ad");
}

TEST(TextTest, JsonEscapeNeverLeavesAHalfEscapeWhenCut) {
    char buf[4];
    json_escape(buf, sizeof buf, "ab\"");  // would be ab\" : the backslash alone must go
    EXPECT_STREQ(buf, "ab");
}

TEST(TextTest, PrintableCopyWritesEveryControlCharacterAsQuestionMark) {
    struct Case {
        const char *in, *out;
    } cases[] = {
        {"sip:1002@h, a reason", "sip:1002@h, a reason"},          // plain, commas kept
        {"a\x1b[2J\x0b\x0c\x1e\nb\r\t", "a?[2J????b??"},          // C0
        {"x\x7fy", "x?y"},                                         // DEL
        {"\xc2\x85\xc2\x9b" "0;t\xc2\x80", "??0;t?"},                 // C1 as UTF-8, one "?" each
        {"\xc2\xa0\xc3\xa9", "\xc2\xa0\xc3\xa9"},                     // printable UTF-8 unchanged
    };
    for (const Case& c : cases) {
        char buf[32];
        EXPECT_EQ(str_copy_printable(buf, c.in), strlen(c.out)) << c.in;
        EXPECT_STREQ(buf, c.out);
    }
    char small[4];
    str_copy_printable(small, "\x1b\x1b\x1b\x1b\x1b");
    EXPECT_STREQ(small, "???");
}

}  // namespace
