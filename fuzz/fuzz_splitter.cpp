// The CSV splitter and the CDATA unwrapping, on text from outside. The first input byte is the
// delimiter; the rest is split as one line and, as the input-file reader cuts it, line by line,
// each with all four flag combinations. Besides never throwing, the results must match the same
// rules written the slow, obvious way, and keep the invariants below.
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "support/Util.h"

namespace {

const std::string kSplitMarker = "]]><![CDATA[>";
const std::string kCDataOpen = "<![CDATA[";
const size_t kCDataCloseLength = 3;

bool IsBlank(char C) { return static_cast<unsigned char>(C) <= 32; }

std::string TrimLeft(const std::string& Text) {
    size_t B = 0;
    while (B < Text.size() && IsBlank(Text[B])) ++B;
    return Text.substr(B);
}

// The splitting rules, copying and trimming the rest of the line after every field.
std::vector<std::string> SlowSplit(char Delimiter, const std::string& Line, bool HandleQuotes,
                                   bool KeepEmpty) {
    std::vector<std::string> Fields;
    std::string Rest = Trim(Line);
    while (Rest.find(Delimiter) != std::string::npos) {
        std::string Field;
        if (HandleQuotes && Rest[0] == '"') {
            // To the closing quote and one delimiter right behind it; "" stands for ". Without
            // a closing quote: after the last doubled quote, or just after the opening one.
            size_t At = 1, Consumed = 1;
            for (;;) {
                const size_t Quote = Rest.find('"', At);
                if (Quote == std::string::npos) break;
                if (Quote + 1 < Rest.size() && Rest[Quote + 1] == '"') {
                    Field += Rest.substr(At, Quote + 1 - At);
                    At = Consumed = Quote + 2;
                    continue;
                }
                Field += Rest.substr(At, Quote - At);
                Consumed = Quote + 1;
                if (Consumed < Rest.size() && Rest[Consumed] == Delimiter) ++Consumed;
                break;
            }
            Rest = Rest.substr(Consumed);
        } else {
            const size_t At = Rest.find(Delimiter);
            Field = Trim(Rest.substr(0, At));
            Rest = Rest.substr(At + 1);
        }
        Rest = TrimLeft(Rest);
        if (!Field.empty() || KeepEmpty) Fields.push_back(Field);
    }
    if (!Rest.empty()) Fields.push_back(Rest);
    return Fields;
}

// The unwrapping rules: take off the wrapping, then replace the first split marker again and
// again, trimming the text before it, until none is left or one stands at the very start.
std::string SlowUnwrap(const std::string& Input) {
    std::string Text = Input;
    if (Text.compare(0, kCDataOpen.size(), kCDataOpen) == 0) {
        const size_t Wrapping = kCDataOpen.size() + kCDataCloseLength;
        Text = Trim(
            Text.substr(kCDataOpen.size(), Text.size() >= Wrapping ? Text.size() - Wrapping : 0));
    }
    for (;;) {
        const size_t At = Text.find(kSplitMarker);
        if (At == std::string::npos || At == 0) break;
        Text = Trim(Text.substr(0, At)) + Text.substr(At + kSplitMarker.size() - 1);
    }
    return Text;
}

std::string Describe(char Delimiter, const std::string& Line, bool HandleQuotes, bool KeepEmpty,
                     const std::vector<std::string>& Fields) {
    std::string Out = "delimiter " + FuzzQuote(std::string(1, Delimiter)) + " quotes " +
                      (HandleQuotes ? "on" : "off") + " keep-empty " + (KeepEmpty ? "on" : "off") +
                      " line " + FuzzQuote(Line) + " fields";
    for (const auto& F : Fields) Out += " " + FuzzQuote(F);
    return Out;
}

std::vector<std::string> Split(char Delimiter, const std::string& Line, bool HandleQuotes,
                               bool KeepEmpty) {
    // Fields are appended: what the list held before must stay in front.
    std::vector<std::string> Fields{"kept"};
    try {
        SplitDelimitedLine(Delimiter, Line, Fields, HandleQuotes, KeepEmpty);
    } catch (...) {
        FUZZ_UNEXPECTED_EXCEPTION();
    }
    FUZZ_CHECK(!Fields.empty() && Fields[0] == "kept", "the fields held before were changed");
    Fields.erase(Fields.begin());

    const std::vector<std::string> Expected = SlowSplit(Delimiter, Line, HandleQuotes, KeepEmpty);
    FUZZ_CHECK(Fields == Expected,
               Describe(Delimiter, Line, HandleQuotes, KeepEmpty, Fields) + "; expected " +
                   Describe(Delimiter, Line, HandleQuotes, KeepEmpty, Expected));

    size_t Total = 0;
    for (size_t I = 0; I < Fields.size(); ++I) {
        const std::string& F = Fields[I];
        Total += F.size();
        auto Where = [&] { return Describe(Delimiter, Line, HandleQuotes, KeepEmpty, Fields); };
        FUZZ_CHECK(KeepEmpty || !F.empty(), "an empty field was kept: " + Where());
        if (!HandleQuotes) {
            // Only a quoted field may hold the delimiter; an unquoted one is trimmed.
            FUZZ_CHECK(F.find(Delimiter) == std::string::npos,
                       "an unquoted field holds the delimiter: " + Where());
            FUZZ_CHECK(F.empty() || (!IsBlank(F.front()) && !IsBlank(F.back())),
                       "an unquoted field is not trimmed: " + Where());
        }
    }
    FUZZ_CHECK(Total <= Line.size(), "the fields are longer than the line");
    return Fields;
}

void SplitEveryWay(char Delimiter, const std::string& Line) {
    std::vector<std::string> Fields[2][2];  // [HandleQuotes][KeepEmpty]
    for (bool HandleQuotes : {false, true})
        for (bool KeepEmpty : {false, true})
            Fields[HandleQuotes][KeepEmpty] = Split(Delimiter, Line, HandleQuotes, KeepEmpty);
    // Without a quote character in the line, quote handling changes nothing.
    if (Line.find('"') == std::string::npos)
        for (bool KeepEmpty : {false, true})
            FUZZ_CHECK(Fields[false][KeepEmpty] == Fields[true][KeepEmpty],
                       "quote handling changed a line without quotes: " + FuzzQuote(Line));
    // Keeping empty fields adds the empty ones and nothing else.
    for (bool HandleQuotes : {false, true}) {
        std::vector<std::string> NonEmpty;
        for (const auto& F : Fields[HandleQuotes][true])
            if (!F.empty()) NonEmpty.push_back(F);
        FUZZ_CHECK(NonEmpty == Fields[HandleQuotes][false],
                   "keep-empty changed more than the empty fields: " + FuzzQuote(Line));
    }
}

void CheckUnwrap(const std::string& Text) {
    std::string Out;
    try {
        Out = UnwrapCDATA(Text);
    } catch (...) {
        FUZZ_UNEXPECTED_EXCEPTION();
    }
    FUZZ_CHECK(Out == SlowUnwrap(Text), "input " + FuzzQuote(Text) + " gave " + FuzzQuote(Out) +
                                            ", expected " + FuzzQuote(SlowUnwrap(Text)));
    FUZZ_CHECK(Out.size() <= Text.size(), "unwrapping made the text longer");
    if (Text.compare(0, kCDataOpen.size(), kCDataOpen) != 0 &&
        Text.find(kSplitMarker) == std::string::npos)
        FUZZ_CHECK(Out == Text, "a text without wrapping or marker changed: " + FuzzQuote(Text));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    if (Size == 0) return 0;
    const char Delimiter = static_cast<char>(Data[0]);
    std::string Text(reinterpret_cast<const char*>(Data) + 1, Size - 1);

    SplitEveryWay(Delimiter, Text);
    CheckUnwrap(Text);

    // As the input-file reader cuts a file: a NUL ends it; CR, LF or CR LF ends a line.
    const size_t Nul = Text.find('\0');
    if (Nul != std::string::npos) Text.resize(Nul);
    size_t Pos = 0;
    while (Pos < Text.size()) {
        size_t End = Text.find_first_of("\r\n", Pos);
        if (End == std::string::npos) End = Text.size();
        const std::string Line = Text.substr(Pos, End - Pos);
        Pos = End + 1;
        if (End < Text.size() && Text[End] == '\r' && Pos < Text.size() && Text[Pos] == '\n') ++Pos;
        SplitEveryWay(Delimiter, Line);
        if (Delimiter != ',') Split(',', Line, true, true);  // the reader's own call
    }
    return 0;
}
