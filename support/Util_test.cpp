#include "support/Util.h"

#include <gtest/gtest.h>

#include <random>

#include "support/uSmsUtil.h"

namespace {

using Fields = std::vector<std::string>;

Fields Split(const std::string& Line, bool HandleQuotes = true, bool KeepEmpty = true,
             char Delimiter = ',') {
    Fields fields;
    SplitDelimitedLine(Delimiter, Line, fields, HandleQuotes, KeepEmpty);
    return fields;
}

// The splitting rules step by step on copies of the rest, as plainly as they can be written;
// the real splitter must give the same fields on every line.
Fields ReferenceSplit(char Delimiter, const std::string& Line, bool HandleQuotes, bool KeepEmpty) {
    Fields fields;
    std::string rest = Trim(Line);
    size_t p;
    while ((p = rest.find(Delimiter)) != std::string::npos) {
        std::string field = Trim(rest.substr(0, p));
        if (HandleQuotes && !rest.empty() && rest[0] == '"') {
            field.clear();
            rest.erase(0, 1);
            size_t q;
            while ((q = rest.find('"')) != std::string::npos) {
                if (q + 1 < rest.size() && rest[q + 1] == '"') {
                    field += rest.substr(0, q + 1);
                    rest.erase(0, q + 2);
                } else {
                    field += rest.substr(0, q);
                    rest.erase(0, q + 1);
                    if (!rest.empty() && rest[0] == Delimiter) rest.erase(0, 1);
                    break;
                }
            }
        } else {
            rest.erase(0, p + 1);
        }
        rest = Trim(rest);
        if (!field.empty() || KeepEmpty) fields.push_back(field);
    }
    if (!Trim(rest).empty()) fields.push_back(rest);
    return fields;
}

// The CDATA rules as a plain loop over copies.
std::string ReferenceUnwrap(const std::string& Text) {
    std::string result = Text;
    if (Text.rfind("<![CDATA[", 0) == 0)
        result = Trim(Text.size() >= 12 ? Text.substr(9, Text.size() - 12) : "");
    size_t p;
    while ((p = result.find("]]><![CDATA[>")) != std::string::npos && p > 0)
        result = Trim(result.substr(0, p)) + result.substr(p + 12);
    return result;
}

TEST(TextTest, TrimAndUpperCase) {
    EXPECT_EQ(Trim(std::string("\t\r\n \x01 a b \x1f\x20")), "a b");
    EXPECT_EQ(Trim("   "), "");
    // Bytes above 127 are text, not blanks.
    EXPECT_EQ(Trim("\xe9 "), "\xe9");
    EXPECT_EQ(UpperCase("abz-AZ \xe9\xe0x"), "ABZ-AZ \xe9\xe0X");
}

TEST(TextTest, AddTrailingBackslash) {
    EXPECT_EQ(AddTrailingBackslash("/data/in"), "/data/in/");
    EXPECT_EQ(AddTrailingBackslash("/data/in/"), "/data/in/");
    EXPECT_EQ(AddTrailingBackslash("C:\\Data\\"), "C:\\Data\\");
    EXPECT_EQ(AddTrailingBackslash(""), "");
    EXPECT_EQ(AddTrailingBackslash("   "), "   ");
    EXPECT_EQ(AddTrailingBackslash("/data "), "/data /");
}

TEST(SplitTest, PlainFieldsAreTrimmed) {
    EXPECT_EQ(Split("a, b ,c"), (Fields{"a", "b", "c"}));
    EXPECT_EQ(Split("  only one  "), (Fields{"only one"}));
    EXPECT_EQ(Split(""), Fields{});
    EXPECT_EQ(Split(" \t "), Fields{});
    EXPECT_EQ(Split("0821;0831 ;", false, false, ';'), (Fields{"0821", "0831"}));
}

TEST(SplitTest, EmptyFieldsAndTrailingDelimiter) {
    EXPECT_EQ(Split("a,,c", false, true), (Fields{"a", "", "c"}));
    EXPECT_EQ(Split("a,,c", false, false), (Fields{"a", "c"}));
    EXPECT_EQ(Split("a,b,", true, true), (Fields{"a", "b"}));
    EXPECT_EQ(Split(",a", true, true), (Fields{"", "a"}));
    EXPECT_EQ(Split(",,", true, true), (Fields{"", ""}));
}

TEST(SplitTest, QuotedFields) {
    EXPECT_EQ(Split("\"x, y\",z"), (Fields{"x, y", "z"}));
    EXPECT_EQ(Split("\"say \"\"hi\"\"\",z"), (Fields{"say \"hi\"", "z"}));
    // The last field keeps its quotes.
    EXPECT_EQ(Split("a,\"b\""), (Fields{"a", "\"b\""}));
    // A quoted field keeps its inner blanks.
    EXPECT_EQ(Split("\"  b  \",c"), (Fields{"  b  ", "c"}));
    // A blank after the closing quote leaves the delimiter for an empty field.
    EXPECT_EQ(Split("\"ab\" ,c", true, true), (Fields{"ab", "", "c"}));
    EXPECT_EQ(Split("\"ab\" ,c", true, false), (Fields{"ab", "c"}));
    // No closing quote.
    EXPECT_EQ(Split("\"abc,def", true, true), (Fields{"", "abc", "def"}));
    // Without quote handling quotes are ordinary characters.
    EXPECT_EQ(Split("\"x, y\",z", false), (Fields{"\"x", "y\"", "z"}));
}

TEST(SplitTest, AppendsToExistingFields) {
    Fields fields{"kept"};
    SplitDelimitedLine(',', "a,b", fields, true, true);
    EXPECT_EQ(fields, (Fields{"kept", "a", "b"}));
}

TEST(SplitTest, MatchesTheStepwiseRulesOnRandomLines) {
    std::mt19937 rng(20240131);
    const char alphabet[] = {'a', 'b', ',', ',', '"', '"', ' ', '\t'};
    // Split line after line into one list, as the reading of a file does.
    Fields reused;
    for (int round = 0; round < 20000; ++round) {
        std::string line;
        size_t length = rng() % 16;
        for (size_t i = 0; i < length; ++i) line += alphabet[rng() % sizeof alphabet];
        for (char delimiter : {',', '\t'})
            for (bool quotes : {false, true})
                for (bool keep : {false, true}) {
                    const Fields expected = ReferenceSplit(delimiter, line, quotes, keep);
                    ASSERT_EQ(Split(line, quotes, keep, delimiter), expected)
                        << "line [" << line << "] delimiter " << int(delimiter) << " quotes "
                        << quotes << " keep " << keep;
                    SplitDelimitedLineInto(delimiter, line, reused, quotes, keep);
                    ASSERT_EQ(reused, expected) << "line [" << line << "] reusing the list";
                }
    }
}

TEST(SplitTest, LongLinesKeepEveryField) {
    std::string line;
    for (int i = 0; i < 10000; ++i)
        line += (i % 3 == 0 ? "\"q,\"\"" + std::to_string(i) + "\"" : std::to_string(i)) + ",";
    Fields fields = Split(line);
    ASSERT_EQ(fields.size(), 10000u);
    EXPECT_EQ(fields[0], "q,\"0");
    EXPECT_EQ(fields[9999], "q,\"9999");
    EXPECT_EQ(fields[9998], "9998");
}

TEST(TextTest, IsEmailAddress) {
    EXPECT_TRUE(IsEmailAddress("someone@example.org"));
    EXPECT_TRUE(IsEmailAddress("@."));
    EXPECT_TRUE(IsEmailAddress(".x@"));
    EXPECT_FALSE(IsEmailAddress("someone@example"));
    EXPECT_FALSE(IsEmailAddress("some.one"));
    EXPECT_FALSE(IsEmailAddress(""));
}

TEST(CDataTest, Unwrap) {
    EXPECT_EQ(UnwrapCDATA("<![CDATA[hello]]>"), "hello");
    EXPECT_EQ(UnwrapCDATA("<![CDATA[ hello ]]>"), "hello");
    EXPECT_EQ(UnwrapCDATA("<![CDATA[a]]]]><![CDATA[>b]]>"), "a]]>b");
    EXPECT_EQ(UnwrapCDATA("plain <b>text</b>"), "plain <b>text</b>");
    EXPECT_EQ(UnwrapCDATA(""), "");
    EXPECT_EQ(UnwrapCDATA("<![CDATA["), "");
    // Blanks just before a split are lost; a split at the very start stays.
    EXPECT_EQ(UnwrapCDATA("a  ]]><![CDATA[>b"), "a>b");
    EXPECT_EQ(UnwrapCDATA("]]><![CDATA[>b"), "]]><![CDATA[>b");
}

TEST(CDataTest, MatchesThePlainLoopOnRandomTexts) {
    std::mt19937 rng(7);
    const std::string pieces[] = {"]]><![CDATA[>", "]]>", "]", "<![CDATA[", ">", "a", " "};
    for (int round = 0; round < 20000; ++round) {
        std::string text = rng() % 2 ? "<![CDATA[" : "";
        size_t count = rng() % 8;
        for (size_t i = 0; i < count; ++i) text += pieces[rng() % std::size(pieces)];
        if (rng() % 2) text += "]]>";
        ASSERT_EQ(UnwrapCDATA(text), ReferenceUnwrap(text)) << "text [" << text << "]";
    }
}

TEST(CellNoTest, Classify) {
    EXPECT_EQ(ClassifyCellNo("0820000000"), 1);
    EXPECT_EQ(ClassifyCellNo("27820000000"), 1);
    EXPECT_EQ(ClassifyCellNo("+27820000000"), 1);
    EXPECT_EQ(ClassifyCellNo("+0820000000"), 1);
    EXPECT_EQ(ClassifyCellNo("+27000000"), 2);
    EXPECT_EQ(ClassifyCellNo("123456789"), 2);
    EXPECT_EQ(ClassifyCellNo("08200000"), 0);
    EXPECT_EQ(ClassifyCellNo("082 000 0000"), 0);
    EXPECT_EQ(ClassifyCellNo("++27820000000"), 0);
    EXPECT_EQ(ClassifyCellNo(""), 0);
}

TEST(CellNoTest, IsAllDigits) {
    EXPECT_TRUE(IsAllDigits(""));
    EXPECT_TRUE(IsAllDigits("0123456789"));
    EXPECT_FALSE(IsAllDigits("12a"));
    EXPECT_FALSE(IsAllDigits("+12"));
}

}  // namespace
