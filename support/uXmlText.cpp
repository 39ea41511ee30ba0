#include "support/uXmlText.h"

#include <bit>
#include <cstdint>
#include <cstring>

namespace {

// Long texts (a batch is tens of megabytes) are scanned sixteen bytes at a time, in the vector
// extension GCC and Clang share; a comparison gives 0xFF in each byte where it holds.
typedef uint8_t TChunk __attribute__((vector_size(16)));
constexpr size_t kChunk = sizeof(TChunk);
static_assert(std::endian::native == std::endian::little, "FirstSet counts from the low byte");

TChunk Load(const char* At) {
    TChunk C;
    std::memcpy(&C, At, kChunk);
    return C;
}

template <typename Mask>
bool Any(Mask M) {
    uint64_t Half[2];
    std::memcpy(Half, &M, kChunk);
    return (Half[0] | Half[1]) != 0;
}

// The index of the first byte set in M, which has one.
template <typename Mask>
size_t FirstSet(Mask M) {
    uint64_t Half[2];
    std::memcpy(Half, &M, kChunk);
    return Half[0] ? size_t(std::countr_zero(Half[0])) / 8
                   : 8 + size_t(std::countr_zero(Half[1])) / 8;
}

template <typename Counts>
size_t Sum(Counts C) {
    size_t N = 0;
    for (size_t I = 0; I < kChunk; ++I) N += uint8_t(C[I]);
    return N;
}

// Bytes other than printable ASCII, TAB, LF and CR: where a text may need converting.
auto Unusual(TChunk C) {
    return (C >= 0x80) | ((C < 0x20) & (C != '\t') & (C != '\n') & (C != '\r'));
}

// The bytes AppendXmlEscaped replaces, and how many bytes each reference adds.
template <bool Attribute>
auto Markup(TChunk C) {
    auto M = (C == '&') | (C == '<') | (C == '>') | (C == '\r');
    if constexpr (Attribute) M |= (C == '"') | (C == '\t') | (C == '\n');
    return M;
}

const char* Reference(char C, bool Attribute) {
    switch (C) {
        case '&':
            return "&amp;";
        case '<':
            return "&lt;";
        case '>':
            return "&gt;";
        case '\r':
            return "&#13;";
        case '"':
            return Attribute ? "&quot;" : nullptr;
        case '\t':
            return Attribute ? "&#9;" : nullptr;
        case '\n':
            return Attribute ? "&#10;" : nullptr;
        default:
            return nullptr;
    }
}

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
bool DecodeUtf8(std::string_view Text, size_t& Pos, uint32_t& C) {
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

// Valid UTF-8 of characters XML allows only.
bool IsXmlText(std::string_view Text) {
    for (size_t Pos = 0; Pos < Text.size();) {
        if (Text.size() - Pos >= kChunk && !Any(Unusual(Load(Text.data() + Pos)))) {
            Pos += kChunk;
            continue;
        }
        const unsigned char B = static_cast<unsigned char>(Text[Pos]);
        if (B >= 0x20 && B < 0x80) {
            ++Pos;
            continue;
        }
        uint32_t C;
        if (!DecodeUtf8(Text, Pos, C) || !IsXmlChar(C)) return false;
    }
    return true;
}

std::string Converted(std::string_view Text) {
    bool Valid = true;
    for (size_t Pos = 0; Pos < Text.size() && Valid;) {
        uint32_t C;
        Valid = DecodeUtf8(Text, Pos, C);
    }
    std::string Out;
    Out.reserve(Valid ? Text.size() : Text.size() * 2);
    if (Valid) {
        for (size_t Pos = 0; Pos < Text.size();) {
            const size_t Start = Pos;
            uint32_t C;
            DecodeUtf8(Text, Pos, C);
            if (IsXmlChar(C)) Out.append(Text, Start, Pos - Start);
        }
        return Out;
    }
    // Not UTF-8: every byte is one Windows-1252 character.
    for (char Byte : Text) {
        const unsigned char B = static_cast<unsigned char>(Byte);
        const uint32_t C = B >= 0x80 && B <= 0x9F ? kCp1252High[B - 0x80] : B;
        if (IsXmlChar(C)) AppendUtf8(Out, C);
    }
    return Out;
}

template <bool Attribute>
size_t EscapedSize(std::string_view Text) {
    size_t Extra = 0, Pos = 0;
    while (Text.size() - Pos >= kChunk) {
        // Per-byte counters, summed before any of them could pass 255.
        TChunk Plus3 = {}, Plus4 = {}, Plus5 = {};
        for (int Round = 0; Round < 255 && Text.size() - Pos >= kChunk; ++Round, Pos += kChunk) {
            const TChunk C = Load(Text.data() + Pos);
            // A comparison that holds is -1 in its byte.
            Plus3 -= (C == '<') | (C == '>');
            Plus4 -= (C == '&') | (C == '\r');
            if constexpr (Attribute) {
                Plus3 -= (C == '\t');
                Plus4 -= (C == '\n');
                Plus5 -= (C == '"');
            }
        }
        Extra += 3 * Sum(Plus3) + 4 * Sum(Plus4) + 5 * Sum(Plus5);
    }
    for (; Pos < Text.size(); ++Pos)
        if (const char* Ref = Reference(Text[Pos], Attribute)) Extra += std::strlen(Ref) - 1;
    return Text.size() + Extra;
}

// A short text (most attribute values) goes run by run; sizing it first would cost more.
void AppendShortEscaped(std::string& Out, std::string_view Text, bool Attribute) {
    size_t Start = 0;
    for (size_t I = 0; I < Text.size(); ++I) {
        const char* Ref = Reference(Text[I], Attribute);
        if (!Ref) continue;
        Out.append(Text.data() + Start, I - Start);
        Out.append(Ref);
        Start = I + 1;
    }
    Out.append(Text.data() + Start, Text.size() - Start);
}

template <bool Attribute>
void AppendEscaped(std::string& Out, std::string_view Text) {
    if (Text.size() < 4 * kChunk) return AppendShortEscaped(Out, Text, Attribute);
    const size_t Start = Out.size();
    Out.resize(Start + EscapedSize<Attribute>(Text));
    char* To = Out.data() + Start;
    const char* From = Text.data();
    const char* const End = From + Text.size();
    while (From < End) {
        // Runs without markup go across whole, sixteen bytes at a time.
        while (size_t(End - From) >= kChunk) {
            const auto M = Markup<Attribute>(Load(From));
            if (Any(M)) {
                const size_t Run = FirstSet(M);
                std::memcpy(To, From, Run);
                To += Run;
                From += Run;
                break;
            }
            std::memcpy(To, From, kChunk);
            To += kChunk;
            From += kChunk;
        }
        if (From == End) break;
        if (const char* Ref = Reference(*From, Attribute)) {
            const size_t Length = std::strlen(Ref);
            std::memcpy(To, Ref, Length);
            To += Length;
        } else {
            *To++ = *From;
        }
        ++From;
    }
}

}  // namespace

std::string ToXmlText(const std::string& Text) { return IsXmlText(Text) ? Text : Converted(Text); }

std::string_view ToXmlText(std::string_view Text, std::string& Storage) {
    if (IsXmlText(Text)) return Text;
    Storage = Converted(Text);
    return Storage;
}

size_t XmlEscapedSize(std::string_view Text, bool Attribute) {
    return Attribute ? EscapedSize<true>(Text) : EscapedSize<false>(Text);
}

void AppendXmlEscaped(std::string& Out, std::string_view Text, bool Attribute) {
    if (Attribute)
        AppendEscaped<true>(Out, Text);
    else
        AppendEscaped<false>(Out, Text);
}
