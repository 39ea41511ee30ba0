#include "tools/uSimMessages.h"

#include <sys/mman.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

// Blocks start small, for the few messages of a test, and double up to this size.
constexpr size_t kMinBlockBytes = 4096;
constexpr size_t kMaxBlockBytes = kHugePageBytes;
constexpr size_t kMaxLengthBytes = 5;  // a 32-bit length as a varint

enum : uint8_t { kSpace = 1, kNameStart = 2, kName = 4, kValueStop = 8 };

constexpr std::array<uint8_t, 256> MakeClasses() {
    std::array<uint8_t, 256> C{};
    for (unsigned char Ch : {' ', '\t', '\r', '\n'}) C[Ch] |= kSpace;
    for (int Ch = 0; Ch < 256; ++Ch) {
        // No ':' among the name characters: a prefixed name is left to the full reader.
        const bool Letter = (Ch >= 'a' && Ch <= 'z') || (Ch >= 'A' && Ch <= 'Z') || Ch == '_';
        if (Letter) C[Ch] |= kNameStart | kName;
        if ((Ch >= '0' && Ch <= '9') || Ch == '-' || Ch == '.') C[Ch] |= kName;
    }
    // Where an attribute value needs a look: its quotes, markup, references, and literal white
    // space other than blanks (which attribute normalisation would change).
    for (unsigned char Ch : {'"', '\'', '<', '&', '\t', '\n', '\r', '\0'}) C[Ch] |= kValueStop;
    return C;
}
constexpr std::array<uint8_t, 256> kClasses = MakeClasses();

bool Is(char C, uint8_t Class) { return kClasses[static_cast<unsigned char>(C)] & Class; }

// The references the SDK's writer produces, and what each stands for.
struct TReference {
    std::string_view Text;
    char Value;
};
constexpr TReference kReferences[] = {{"&amp;", '&'},  {"&lt;", '<'},    {"&gt;", '>'},
                                      {"&quot;", '"'}, {"&apos;", '\''}, {"&#9;", '\t'},
                                      {"&#10;", '\n'}, {"&#13;", '\r'}};

const TReference* ReferenceAt(const char* P, const char* End) {
    for (const TReference& R : kReferences)
        if (size_t(End - P) >= R.Text.size() && std::memcmp(P, R.Text.data(), R.Text.size()) == 0)
            return &R;
    return nullptr;
}

// An attribute value as it stands in the document, and whether it holds references.
struct TRaw {
    std::string_view Text;
    bool Referenced = false;
    size_t Size() const {
        if (!Referenced) return Text.size();
        size_t N = 0;
        for (const char* P = Text.data(); P < Text.data() + Text.size(); ++N)
            P += *P == '&' ? ReferenceAt(P, Text.data() + Text.size())->Text.size() : 1;
        return N;
    }
    // Writes the value with its references resolved; returns the end of what was written.
    char* Decode(char* Out) const {
        if (!Referenced) {
            if (!Text.empty()) std::memcpy(Out, Text.data(), Text.size());
            return Out + Text.size();
        }
        const char* const End = Text.data() + Text.size();
        for (const char* P = Text.data(); P < End;) {
            if (*P != '&') {
                *Out++ = *P++;
                continue;
            }
            const TReference* R = ReferenceAt(P, End);
            *Out++ = R->Value;
            P += R->Text.size();
        }
        return Out;
    }
};

// A Priority the full reader takes without complaint: empty, or a short signed decimal.
bool IsPlainPriority(const TRaw& Raw) {
    std::string_view V = Raw.Text;
    if (V.empty()) return true;
    if (V[0] == '-') V.remove_prefix(1);
    if (V.empty() || V.size() > 9) return false;
    for (char C : V)
        if (C < '0' || C > '9') return false;
    return true;
}

bool IsPlainFlag(const TRaw& Raw) {
    const std::string_view V = Raw.Text;
    return V.empty() || V == "true" || V == "false" || V == "1" || V == "0";
}

char* PutLength(char* Out, size_t N) {
    for (; N >= 0x80; N >>= 7) *Out++ = char(0x80 | (N & 0x7F));
    *Out++ = char(N);
    return Out;
}

size_t ReadLength(const char*& P) {
    size_t N = 0;
    for (int Shift = 0;; Shift += 7) {
        const unsigned char B = static_cast<unsigned char>(*P++);
        N |= size_t(B & 0x7F) << Shift;
        if (B < 0x80) return N;
    }
}

// A cursor over the document. Every reading step returns false when the text is not in the
// plain form; the caller then gives up on the whole document.
class TScanner {
  public:
    explicit TScanner(std::string_view Xml) : P_(Xml.data()), End_(Xml.data() + Xml.size()) {}

    bool AtEnd() const { return P_ == End_; }
    void SkipSpace() {
        while (P_ < End_ && Is(*P_, kSpace)) ++P_;
    }
    bool Eat(std::string_view Word) {
        if (size_t(End_ - P_) < Word.size() || std::memcmp(P_, Word.data(), Word.size()) != 0)
            return false;
        P_ += Word.size();
        return true;
    }
    std::string_view Name() {
        const char* Begin = P_;
        if (P_ < End_ && Is(*P_, kNameStart))
            while (P_ < End_ && Is(*P_, kName)) ++P_;
        return {Begin, size_t(P_ - Begin)};
    }
    // "<?xml ...?>" at the very start.
    bool Declaration() {
        if (!Eat("<?xml") || P_ == End_ || !(Is(*P_, kSpace) || *P_ == '?')) return false;
        for (; P_ + 1 < End_; ++P_) {
            if (*P_ == '<' || *P_ == '>' || *P_ == '\0') return false;
            if (P_[0] == '?' && P_[1] == '>') {
                P_ += 2;
                return true;
            }
        }
        return false;
    }
    // The attributes of a start tag up to its end, each handed to On(Name, Raw), which returns
    // false to refuse it. Open: the tag ended with ">" (content follows), not "/>".
    template <typename F>
    bool Attributes(F&& On, bool& Open) {
        for (;;) {
            const char* Before = P_;
            SkipSpace();
            if (P_ == End_) return false;
            if (*P_ == '>') {
                ++P_;
                Open = true;
                return true;
            }
            if (Eat("/>")) {
                Open = false;
                return true;
            }
            if (P_ == Before) return false;  // attributes stand apart
            const std::string_view N = Name();
            if (N.empty()) return false;
            SkipSpace();
            if (!Eat("=")) return false;
            SkipSpace();
            if (P_ == End_ || (*P_ != '"' && *P_ != '\'')) return false;
            const char Quote = *P_++;
            TRaw Raw;
            if (!Value(Quote, Raw) || !On(N, Raw)) return false;
        }
    }
    // The end tag of Element, after nothing but white space.
    bool EndTag(std::string_view Element) {
        SkipSpace();
        if (!Eat("</") || !Eat(Element)) return false;
        SkipSpace();
        return Eat(">");
    }
    // After white space: the end tag of Parent (true, with Ended set) or the next child's name.
    bool NextChild(std::string_view Parent, bool& Ended, std::string_view& Child) {
        SkipSpace();
        if (P_ + 1 < End_ && P_[0] == '<' && P_[1] == '/') {
            Ended = true;
            return EndTag(Parent);
        }
        Ended = false;
        if (!Eat("<")) return false;
        Child = Name();
        return !Child.empty();
    }

    // An attribute value up to its closing Quote, which is passed.
    bool Value(char Quote, TRaw& Raw) {
        const char* Begin = P_;
        for (;;) {
            while (P_ < End_ && !Is(*P_, kValueStop)) ++P_;
            if (P_ == End_) return false;
            const char C = *P_;
            if (C == Quote) break;
            if (C == '"' || C == '\'') {
                ++P_;
            } else if (const TReference* R = C == '&' ? ReferenceAt(P_, End_) : nullptr) {
                Raw.Referenced = true;
                P_ += R->Text.size();
            } else {
                return false;
            }
        }
        Raw.Text = std::string_view(Begin, size_t(P_ - Begin));
        ++P_;
        return true;
    }

  private:
    const char* P_;
    const char* End_;
};

bool SkipAttributes(TScanner& S, bool& Open) {
    return S.Attributes([](std::string_view, const TRaw&) { return true; }, Open);
}

// An element that the reader does not look into: its attributes, then nothing or its end tag.
bool SkipElement(TScanner& S, std::string_view Name) {
    bool Open = false;
    return SkipAttributes(S, Open) && (!Open || S.EndTag(Name));
}

// An attribute of an element, in the order the writer puts them, with what precedes its value
// there (' Name="'). The first value counts, as the full reader takes only the first.
struct TWanted {
    std::string_view Lead;
    TRaw* Into;
    bool (*Check)(const TRaw&);
    bool Seen = false;
    std::string_view Name() const { return Lead.substr(1, Lead.size() - 3); }
    bool Take(const TRaw& Raw) {
        Seen = true;
        if (Check && !Check(Raw)) return false;
        if (Into) *Into = Raw;
        return true;
    }
};

template <size_t N>
bool ReadElement(TScanner& S, TWanted (&Wanted)[N], bool& Open) {
    // Where the writer put them, the attributes cost one comparison each; the rest are looked up.
    for (TWanted& W : Wanted) {
        TRaw Raw;
        if (!S.Eat(W.Lead)) break;
        if (!S.Value('"', Raw) || !W.Take(Raw)) return false;
    }
    return S.Attributes(
        [&](std::string_view A, const TRaw& Raw) {
            for (TWanted& W : Wanted)
                if (!W.Seen && W.Name() == A) return W.Take(Raw);
            return true;
        },
        Open);
}

}  // namespace

void AdviseHugePages(void* Data, size_t Bytes) {
    const uintptr_t Begin = (uintptr_t(Data) + kHugePageBytes - 1) & ~(kHugePageBytes - 1);
    const uintptr_t End = (uintptr_t(Data) + Bytes) & ~(kHugePageBytes - 1);
    if (Begin < End) madvise(reinterpret_cast<void*>(Begin), End - Begin, MADV_HUGEPAGE);
}

std::string_view SimAddress(const TSimTexts& Texts) {
    const std::string_view Protocol = Texts[kSimProtocol];
    auto Is = [&](std::string_view Upper) {
        if (Protocol.size() != Upper.size()) return false;
        for (size_t K = 0; K < Upper.size(); ++K)
            if (std::toupper(static_cast<unsigned char>(Protocol[K])) != Upper[K]) return false;
        return true;
    };
    std::string_view A = Is("FAX")     ? Texts[kSimFaxNo]
                         : Is("EMAIL") ? Texts[kSimEmail]
                                       : Texts[kSimCellNo];
    for (ESimText T : {kSimCellNo, kSimEmail, kSimFaxNo})
        if (A.empty()) A = Texts[T];
    return A;
}

TSimTexts TSimMessages::Texts(size_t I) const {
    const TRecord& R = Records_[I];
    const char* P = Blocks_[R.Block].Data.get() + R.Offset;
    TSimTexts Out;
    for (std::string_view& T : Out) {
        const size_t N = ReadLength(P);
        T = std::string_view(P, N);
        P += N;
    }
    return Out;
}

char* TSimMessages::NewRecord(size_t Bytes, uint32_t Tag) {
    Bytes += kSimTextCount * kMaxLengthBytes;
    if (Blocks_.empty() || Blocks_.back().Capacity - Blocks_.back().Used < Bytes) {
        const size_t Last = Blocks_.empty() ? 0 : Blocks_.back().Capacity;
        TBlock& B = Blocks_.emplace_back();
        B.Capacity = std::max(Bytes, std::clamp(2 * Last, kMinBlockBytes, kMaxBlockBytes));
        if (B.Capacity % kHugePageBytes == 0) {
            B.Data.reset(static_cast<char*>(std::aligned_alloc(kHugePageBytes, B.Capacity)));
            AdviseHugePages(B.Data.get(), B.Capacity);
        } else {
            B.Data.reset(static_cast<char*>(std::malloc(B.Capacity)));
        }
        if (!B.Data) throw std::bad_alloc();
    }
    TBlock& B = Blocks_.back();
    Records_.push_back({uint32_t(Blocks_.size() - 1), uint32_t(B.Used), Tag});
    return B.Data.get() + B.Used;
}

void TSimMessages::Add(const TSimTexts& Texts, uint32_t Tag) {
    size_t Bytes = 0;
    for (std::string_view T : Texts) Bytes += T.size();
    char* P = NewRecord(Bytes, Tag);
    for (std::string_view T : Texts) {
        P = PutLength(P, T.size());
        if (!T.empty()) std::memcpy(P, T.data(), T.size());
        P += T.size();
    }
    Blocks_.back().Used = size_t(P - Blocks_.back().Data.get());
}

void TSimMessages::AddBatch(const TBatch& Batch, uint32_t Tag) {
    static const TBatchRecipient kNobody;
    for (const TBatchMessage& M : Batch.Messages) {
        const TBatchRecipient& R = M.Recipients.empty() ? kNobody : M.Recipients[0];
        Add({M.BatchName, M.Override.ProtocolName, M.Override.MessageType, M.Reference,
             M.Override.MessageText, R.CellNo, R.Email, R.FaxNo},
            Tag);
    }
}

bool TSimMessages::AddBatchXml(std::string_view Xml, uint32_t Tag) {
    const size_t BlocksBefore = Blocks_.size(), RecordsBefore = Records_.size();
    const size_t LastBlockBefore = Blocks_.empty() ? 0 : Blocks_.back().Used;
    auto GiveUp = [&] {
        Blocks_.resize(BlocksBefore);
        if (!Blocks_.empty()) Blocks_.back().Used = LastBlockBefore;
        Records_.resize(RecordsBefore);
        return false;
    };
    TScanner S(Xml);
    if (Xml.substr(0, 5) == "<?xml" && !S.Declaration()) return GiveUp();
    S.SkipSpace();
    bool Open = false;
    if (!S.Eat("<BatchRequest") || !SkipAttributes(S, Open)) return GiveUp();
    while (Open) {
        bool Ended = false;
        std::string_view Child;
        if (!S.NextChild("BatchRequest", Ended, Child)) return GiveUp();
        if (Ended) break;
        if (Child == "Sender") {
            if (!SkipElement(S, Child)) return GiveUp();
            continue;
        }
        if (Child != "MessageRequest") return GiveUp();
        std::array<TRaw, kSimTextCount> Raw{};
        TWanted Request[] = {{" BatchName=\"", &Raw[kSimBatchName], nullptr},
                             {" Reference=\"", &Raw[kSimReference], nullptr},
                             {" Priority=\"", nullptr, IsPlainPriority},
                             {" DateTime=\"", nullptr, nullptr},
                             {" Flag=\"", nullptr, IsPlainFlag}};
        bool RequestOpen = false;
        if (!ReadElement(S, Request, RequestOpen)) return GiveUp();
        bool HasOverride = false, HasRecipient = false;
        while (RequestOpen) {
            if (!S.NextChild("MessageRequest", Ended, Child)) return GiveUp();
            if (Ended) break;
            bool ChildOpen = false;
            if (Child == "OverrideProtocol" && !HasOverride) {
                HasOverride = true;
                TWanted Override[] = {{" ProtocolName=\"", &Raw[kSimProtocol], nullptr},
                                      {" MessageType=\"", &Raw[kSimMessageType], nullptr},
                                      {" Flag=\"", nullptr, IsPlainFlag},
                                      {" MessageText=\"", &Raw[kSimText], nullptr}};
                if (!ReadElement(S, Override, ChildOpen)) return GiveUp();
            } else if (Child == "Recipient" && !HasRecipient) {
                HasRecipient = true;
                TWanted Recipient[] = {{" CellNo=\"", &Raw[kSimCellNo], nullptr},
                                       {" Email=\"", &Raw[kSimEmail], nullptr},
                                       {" FaxNo=\"", &Raw[kSimFaxNo], nullptr}};
                if (!ReadElement(S, Recipient, ChildOpen)) return GiveUp();
            } else if (Child == "Recipient") {
                if (!SkipElement(S, Child)) return GiveUp();
                continue;
            } else {
                return GiveUp();
            }
            if (ChildOpen && !S.EndTag(Child)) return GiveUp();
        }
        // Decoding only shortens a value, so the raw lengths bound the room it needs.
        size_t Bytes = 0;
        for (const TRaw& R : Raw) Bytes += R.Text.size();
        char* P = NewRecord(Bytes, Tag);
        for (const TRaw& R : Raw) P = R.Decode(PutLength(P, R.Size()));
        Blocks_.back().Used = size_t(P - Blocks_.back().Data.get());
    }
    S.SkipSpace();
    return S.AtEnd() ? true : GiveUp();
}
