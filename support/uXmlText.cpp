#include "support/uXmlText.h"

#include <cstdint>

namespace {

// Windows-1252 bytes 0x80..0x9F; the five it leaves undefined map to the same code point.
const uint16_t kCp1252High[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                  0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                  0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                  0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

bool IsXmlChar(uint32_t C) {
    if (C < 0x20) return C == 0x09 || C == 0x0A || C == 0x0D;
    if (C >= 0xD800 && C <= 0xDFFF) return false;
    return C != 0xFFFE && C != 0xFFFF && C <= 0x10FFFF;
}

// Decodes one UTF-8 sequence at Pos; false on an invalid one (overlong forms, surrogates and
// code points above U+10FFFF included).
bool DecodeUtf8(const std::string& Text, size_t& Pos, uint32_t& C) {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(Text[i]); };
    unsigned char b0 = byte(Pos);
    size_t len;
    uint32_t min;
    if (b0 < 0x80) {
        C = b0;
        ++Pos;
        return true;
    } else if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2, min = 0x80, C = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3, min = 0x800, C = b0 & 0x0F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4, min = 0x10000, C = b0 & 0x07;
    } else {
        return false;
    }
    if (Text.size() - Pos < len) return false;
    for (size_t i = 1; i < len; ++i) {
        unsigned char b = byte(Pos + i);
        if ((b & 0xC0) != 0x80) return false;
        C = (C << 6) | (b & 0x3F);
    }
    if (C < min || C > 0x10FFFF || (C >= 0xD800 && C <= 0xDFFF)) return false;
    Pos += len;
    return true;
}

void AppendUtf8(std::string& Out, uint32_t C) {
    if (C < 0x80) {
        Out += static_cast<char>(C);
    } else if (C < 0x800) {
        Out += static_cast<char>(0xC0 | (C >> 6));
        Out += static_cast<char>(0x80 | (C & 0x3F));
    } else if (C < 0x10000) {
        Out += static_cast<char>(0xE0 | (C >> 12));
        Out += static_cast<char>(0x80 | ((C >> 6) & 0x3F));
        Out += static_cast<char>(0x80 | (C & 0x3F));
    } else {
        Out += static_cast<char>(0xF0 | (C >> 18));
        Out += static_cast<char>(0x80 | ((C >> 12) & 0x3F));
        Out += static_cast<char>(0x80 | ((C >> 6) & 0x3F));
        Out += static_cast<char>(0x80 | (C & 0x3F));
    }
}

}  // namespace

std::string ToXmlText(const std::string& Text) {
    // One pass to learn whether the text is valid UTF-8 and whether anything must go.
    bool valid = true, clean = true;
    for (size_t pos = 0; pos < Text.size();) {
        uint32_t c;
        if (!DecodeUtf8(Text, pos, c)) {
            valid = false;
            break;
        }
        if (!IsXmlChar(c)) clean = false;
    }
    if (valid && clean) return Text;

    std::string out;
    out.reserve(valid ? Text.size() : Text.size() * 2);
    if (valid) {
        for (size_t pos = 0; pos < Text.size();) {
            size_t start = pos;
            uint32_t c;
            DecodeUtf8(Text, pos, c);
            if (IsXmlChar(c)) out.append(Text, start, pos - start);
        }
        return out;
    }
    // Not UTF-8: every byte is one Windows-1252 character.
    for (char ch : Text) {
        unsigned char b = static_cast<unsigned char>(ch);
        uint32_t c = b >= 0x80 && b <= 0x9F ? kCp1252High[b - 0x80] : b;
        if (IsXmlChar(c)) AppendUtf8(out, c);
    }
    return out;
}

void AppendXmlEscaped(std::string& Out, std::string_view Text, bool Attribute) {
    size_t Start = 0;
    for (size_t i = 0; i < Text.size(); ++i) {
        const char* Ref = nullptr;
        switch (Text[i]) {
            case '&':
                Ref = "&amp;";
                break;
            case '<':
                Ref = "&lt;";
                break;
            case '>':
                Ref = "&gt;";
                break;
            case '\r':
                Ref = "&#13;";
                break;
            case '"':
                if (Attribute) Ref = "&quot;";
                break;
            case '\t':
                if (Attribute) Ref = "&#9;";
                break;
            case '\n':
                if (Attribute) Ref = "&#10;";
                break;
            default:
                break;
        }
        if (!Ref) continue;
        Out.append(Text.data() + Start, i - Start);
        Out.append(Ref);
        Start = i + 1;
    }
    Out.append(Text.data() + Start, Text.size() - Start);
}
