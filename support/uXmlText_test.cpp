#include "support/uXmlText.h"

#include <gtest/gtest.h>

namespace {

TEST(XmlTextTest, CleanTextComesBackUnchanged) {
    for (const std::string& text :
         {std::string(""), std::string("plain ASCII, <tags> & \"quotes\""),
          std::string("tab\tlf\ncr\r"), std::string("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"),
          std::string("\xc2\x85 C1 controls are allowed"), std::string("\xef\xbf\xbd")}) {
        EXPECT_EQ(ToXmlText(text), text);
    }
}

TEST(XmlTextTest, LongTextsAreCheckedInBlocksWhereverTheCharacterIs) {
    // A clean text comes back as the caller's own bytes; one that needs a change, wherever the
    // character sits, is converted into the storage.
    const std::string Plain(40, 'x');
    const std::pair<std::string, std::string> Cases[] = {
        {"\x01", ""}, {"\xe9", "\xc3\xa9"}, {"\xc3\xa9", "\xc3\xa9"}, {"\n", "\n"}};
    for (size_t At = 0; At <= Plain.size(); ++At) {
        for (const auto& [Insert, Expected] : Cases) {
            std::string Text = Plain, Storage;
            Text.insert(At, Insert);
            const std::string_view Out = ToXmlText(Text, Storage);
            EXPECT_EQ(Out, Plain.substr(0, At) + Expected + Plain.substr(At)) << At;
            EXPECT_EQ(Out.data() == Text.data(), Insert == Expected) << At;
        }
    }
}

TEST(XmlTextTest, ForbiddenCharactersAreDropped) {
    EXPECT_EQ(ToXmlText(std::string("a\0b\x01\x08\x0b\x0c\x1f"
                                    "c",
                                    9)),
              "abc");
    // U+FFFE and U+FFFF are not XML characters.
    EXPECT_EQ(ToXmlText("x\xef\xbf\xbey\xef\xbf\xbfz"), "xyz");
    EXPECT_EQ(ToXmlText("caf\xc3\xa9\x02"), "caf\xc3\xa9");
}

TEST(XmlTextTest, InvalidUtf8IsReadAsWindows1252) {
    EXPECT_EQ(ToXmlText("caf\xe9"), "caf\xc3\xa9");
    EXPECT_EQ(ToXmlText("\x80 \x99 \x9f"), "\xe2\x82\xac \xe2\x84\xa2 \xc5\xb8");
    // Undefined positions keep their code point.
    EXPECT_EQ(ToXmlText("\x81\x8d"), "\xc2\x81\xc2\x8d");
    // One bad sequence makes the whole text Windows-1252, controls still dropped.
    EXPECT_EQ(ToXmlText("\xc3\xa9\x01\xff"), "\xc3\x83\xc2\xa9\xc3\xbf");
}

TEST(XmlTextTest, MalformedUtf8SequencesAreNotTrusted) {
    // Overlong "/", an encoded surrogate, a code point above U+10FFFF, a cut-off sequence and a
    // lone continuation byte: each is taken as Windows-1252 bytes, so the result is valid UTF-8.
    EXPECT_EQ(ToXmlText("\xc0\xaf"), "\xc3\x80\xc2\xaf");
    EXPECT_EQ(ToXmlText("\xed\xa0\x80"), "\xc3\xad\xc2\xa0\xe2\x82\xac");
    EXPECT_EQ(ToXmlText("\xf4\x90\x80\x80"), "\xc3\xb4\xc2\x90\xe2\x82\xac\xe2\x82\xac");
    EXPECT_EQ(ToXmlText("ab\xe2\x82"), "ab\xc3\xa2\xe2\x80\x9a");
    EXPECT_EQ(ToXmlText("\xbf"), "\xc2\xbf");
}

TEST(XmlTextTest, EscapingKeepsEveryCharacterThroughAParser) {
    std::string Text, Attr;
    AppendXmlEscaped(Text, "a<b>&\"c\"\t\r\nd", false);
    AppendXmlEscaped(Attr, "a<b>&\"c\"\t\r\nd", true);
    EXPECT_EQ(Text, "a&lt;b&gt;&amp;\"c\"\t&#13;\nd");
    EXPECT_EQ(Attr, "a&lt;b&gt;&amp;&quot;c&quot;&#9;&#13;&#10;d");
    // In a long text each markup character is found wherever it sits, and the size is known
    // before writing.
    const std::string Plain(80, 'x');
    const std::pair<char, std::string> Cases[] = {{'&', "&amp;"}, {'<', "&lt;"}, {'\n', "&#10;"}};
    for (size_t At = 0; At <= Plain.size(); ++At) {
        for (const auto& [Insert, Expected] : Cases) {
            std::string Text = Plain, Out = "head";
            Text.insert(At, 1, Insert);
            AppendXmlEscaped(Out, Text, true);
            EXPECT_EQ(Out, "head" + Plain.substr(0, At) + Expected + Plain.substr(At)) << At;
            EXPECT_EQ(XmlEscapedSize(Text, true), Out.size() - 4) << At;
        }
    }
    EXPECT_EQ(XmlEscapedSize(std::string(5000, '<') + "\n\"", false), 20002u);
}

}  // namespace
