#include "support/Util.h"

#include <cstring>
#include <string_view>

namespace {

const char kQuote = '"';
const char kCDataOpen[] = "<![CDATA[";
const size_t kCDataOpenLen = sizeof kCDataOpen - 1;
const size_t kCDataCloseLen = 3;  // "]]>"
// The split form a CDATA section uses to carry "]]>"; it turns back into its last character.
const char kCDataSplit[] = "]]><![CDATA[>";
const size_t kCDataSplitLen = sizeof kCDataSplit - 1;

bool IsBlank(char C) { return static_cast<unsigned char>(C) <= 32; }

void SkipBlanks(std::string_view Text, size_t& Pos, size_t End) {
    while (Pos < End && IsBlank(Text[Pos])) ++Pos;
}

void TrimEnd(std::string& Text) {
    size_t end = Text.size();
    while (end > 0 && IsBlank(Text[end - 1])) --end;
    Text.resize(end);
}

// Takes the quoted field that starts at Pos (on its opening quote) out of Line[Pos, End) into
// Field. Pos ends after the closing quote and one delimiter right behind it; without a closing
// quote it ends after the last doubled quote, or just after the opening quote.
void ExtractQuotedField(char Delimiter, std::string_view Line, size_t& Pos, size_t End,
                        std::string& Field) {
    Field.clear();
    ++Pos;
    for (;;) {
        const void* hit = std::memchr(Line.data() + Pos, kQuote, End - Pos);
        if (!hit) break;
        size_t q = static_cast<const char*>(hit) - Line.data();
        if (q + 1 < End && Line[q + 1] == kQuote) {
            // A doubled quote stands for one quote character.
            Field.append(Line, Pos, q + 1 - Pos);
            Pos = q + 2;
        } else {
            Field.append(Line, Pos, q - Pos);
            Pos = q + 1;
            if (Pos < End && Line[Pos] == Delimiter) ++Pos;
            break;
        }
    }
}

// The fields of Line into Fields from index From on, reusing the strings already there; the
// list ends with the last field.
void SplitInto(char Delimiter, std::string_view Line, std::vector<std::string>& Fields, size_t From,
               bool HandleQuotes, bool KeepEmpty) {
    size_t count = From;
    const auto next = [&]() -> std::string& {
        if (count == Fields.size()) Fields.emplace_back();
        return Fields[count++];
    };
    // The rest of the line is always the suffix Line[pos, end): it only ever loses characters
    // at its front, and its end was trimmed once. Nothing is copied but the fields.
    size_t pos = 0, end = Line.size();
    SkipBlanks(Line, pos, end);
    while (end > pos && IsBlank(Line[end - 1])) --end;

    // The first delimiter at or after pos; searched again only once pos has passed it, so
    // every character is searched once.
    size_t delim = 0;
    bool delimKnown = false;
    for (;;) {
        if (!delimKnown || delim < pos) {
            const void* hit = std::memchr(Line.data() + pos, Delimiter, end - pos);
            if (!hit) break;
            delim = static_cast<const char*>(hit) - Line.data();
            delimKnown = true;
        }
        std::string& field = next();
        if (HandleQuotes && Line[pos] == kQuote) {
            ExtractQuotedField(Delimiter, Line, pos, end, field);
        } else {
            size_t fieldBegin = pos, fieldEnd = delim;
            SkipBlanks(Line, fieldBegin, fieldEnd);
            while (fieldEnd > fieldBegin && IsBlank(Line[fieldEnd - 1])) --fieldEnd;
            field.assign(Line, fieldBegin, fieldEnd - fieldBegin);
            pos = delim + 1;
        }
        SkipBlanks(Line, pos, end);
        if (field.empty() && !KeepEmpty) --count;
    }
    if (pos < end) next().assign(Line, pos, end - pos);
    Fields.resize(count);
}

// Position of the first occurrence of the split marker in Done + Text[From, ...), with its
// part in Done given by *InDone; npos when there is none.
size_t FindSplitMarker(const std::string& Done, const std::string& Text, size_t From,
                       size_t* InDone) {
    // An occurrence may start in the last characters of Done and end in Text.
    size_t first = Done.size() >= kCDataSplitLen ? Done.size() - (kCDataSplitLen - 1) : 0;
    for (size_t k = first; k < Done.size(); ++k) {
        size_t head = Done.size() - k;
        if (Done.compare(k, head, kCDataSplit, head) == 0 &&
            Text.compare(From, kCDataSplitLen - head, kCDataSplit + head, kCDataSplitLen - head) ==
                0) {
            *InDone = head;
            return k;
        }
    }
    size_t pos = Text.find(kCDataSplit, From, kCDataSplitLen);
    if (pos == std::string::npos) return pos;
    *InDone = 0;
    return Done.size() + (pos - From);
}

}  // namespace

std::string Trim(const std::string& Text) {
    size_t begin = 0, end = Text.size();
    while (begin < end && IsBlank(Text[begin])) ++begin;
    while (end > begin && IsBlank(Text[end - 1])) --end;
    return Text.substr(begin, end - begin);
}

std::string UpperCase(const std::string& Text) {
    std::string result = Text;
    for (char& c : result)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return result;
}

std::string AddTrailingBackslash(const std::string& Path) {
    bool blank = true;
    for (char c : Path)
        if (!IsBlank(c)) blank = false;
    if (blank || Path.back() == '/' || Path.back() == '\\') return Path;
    return Path + "/";
}

std::string ChangeFileExt(const std::string& Path, const std::string& Ext) {
    const size_t Dot = Path.find_last_of('.');
    const size_t Slash = Path.find_last_of("/\\");
    if (Dot == std::string::npos || (Slash != std::string::npos && Dot < Slash)) return Path + Ext;
    return Path.substr(0, Dot) + Ext;
}

void SplitDelimitedLine(char Delimiter, const std::string& Line, std::vector<std::string>& Fields,
                        bool HandleQuotes, bool KeepEmpty) {
    SplitInto(Delimiter, Line, Fields, Fields.size(), HandleQuotes, KeepEmpty);
}

void SplitDelimitedLineInto(char Delimiter, std::string_view Line, std::vector<std::string>& Fields,
                            bool HandleQuotes, bool KeepEmpty) {
    SplitInto(Delimiter, Line, Fields, 0, HandleQuotes, KeepEmpty);
}

bool IsLoopbackHost(const std::string& Host) {
    std::string H = Trim(UpperCase(Host));
    if (H.size() > 2 && H.front() == '[' && H.back() == ']') H = H.substr(1, H.size() - 2);
    if (H == "LOCALHOST" || H == "::1" || H == "0:0:0:0:0:0:0:1") return true;
    if (H.rfind("127.", 0) != 0) return false;
    // Four dotted numbers, the first 127.
    int Dots = 0;
    for (const char C : H) {
        if (C == '.')
            ++Dots;
        else if (C < '0' || C > '9')
            return false;
    }
    return Dots == 3;
}

std::string UrlHost(const std::string& Url) {
    const size_t Scheme = Url.find("://");
    if (Scheme == std::string::npos) return "";
    size_t From = Scheme + 3;
    const size_t End = Url.find_first_of("/?#", From);
    std::string Authority = Url.substr(From, End == std::string::npos ? End : End - From);
    const size_t At = Authority.rfind('@');
    if (At != std::string::npos) Authority = Authority.substr(At + 1);
    if (!Authority.empty() && Authority[0] == '[') {
        const size_t Close = Authority.find(']');
        return Close == std::string::npos ? "" : Authority.substr(1, Close - 1);
    }
    return Authority.substr(0, Authority.find(':'));
}

bool IsEmailAddress(const std::string& Text) {
    return Text.find('@') != std::string::npos && Text.find('.') != std::string::npos;
}

std::string UnwrapCDATA(std::string Text) {
    std::string text;
    if (Text.compare(0, kCDataOpenLen, kCDataOpen) == 0) {
        size_t inner = Text.size() >= kCDataOpenLen + kCDataCloseLen
                           ? Text.size() - kCDataOpenLen - kCDataCloseLen
                           : 0;
        // Trimmed where it stands, so that the inner text is copied once.
        size_t begin = kCDataOpenLen, end = kCDataOpenLen + inner;
        while (begin < end && IsBlank(Text[begin])) ++begin;
        while (end > begin && IsBlank(Text[end - 1])) --end;
        text.assign(Text, begin, end - begin);
    } else {
        text = std::move(Text);
    }
    // A text without a split marker (the usual answer) is handed back as it is, not copied.
    if (text.find(kCDataSplit, 0, kCDataSplitLen) == std::string::npos) return text;
    // Replace the first marker again and again, as a plain loop would, but in one pass: done
    // holds the part already free of markers (its end may still begin one), pos the rest.
    std::string done;
    size_t pos = 0;
    for (;;) {
        size_t inDone = 0;
        size_t at = FindSplitMarker(done, text, pos, &inDone);
        // A marker at the very start is left alone and ends the replacing.
        if (at == std::string::npos || at == 0) break;
        size_t markerEnd;  // index in text just after the marker
        if (inDone > 0) {
            markerEnd = pos + (kCDataSplitLen - inDone);
            done.resize(done.size() - inDone);
        } else {
            size_t start = pos + (at - done.size());
            done.append(text, pos, start - pos);
            markerEnd = start + kCDataSplitLen;
        }
        // The text before the marker, trimmed, then the marker's closing ">" and what follows.
        size_t lead = 0;
        while (lead < done.size() && IsBlank(done[lead])) ++lead;
        if (lead > 0) done.erase(0, lead);
        TrimEnd(done);
        pos = markerEnd - 1;
    }
    done.append(text, pos, std::string::npos);
    return done;
}
