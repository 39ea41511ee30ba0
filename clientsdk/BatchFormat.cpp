#include "clientsdk/BatchFormat.h"

#include <array>
#include <charconv>
#include <pugixml.hpp>
#include <stdexcept>
#include <string_view>

#include "support/uXmlText.h"

namespace {

// Rough bytes per message beyond its texts, so one reserve covers the whole document.
constexpr size_t kMessageMarkupBytes = 300;
constexpr size_t kReplyItemMarkupBytes = 160;
constexpr const char* kServiceNamespace = "http://vexo.gateway";

void AppendText(std::string& Out, const std::string& Text) {
    std::string Converted;
    AppendXmlEscaped(Out, ToXmlText(Text, Converted), true);
}

void AppendAttr(std::string& Out, const char* Name, const std::string& Value) {
    Out += ' ';
    Out += Name;
    Out += "=\"";
    AppendText(Out, Value);
    Out += '"';
}

void AppendAttr(std::string& Out, const char* Name, bool Value) {
    Out += ' ';
    Out += Name;
    Out += Value ? "=\"true\"" : "=\"false\"";
}

template <typename Int>
void AppendInt(std::string& Out, Int Value) {
    char Buf[24];
    auto [End, Ec] = std::to_chars(Buf, Buf + sizeof Buf, Value);
    (void)Ec;
    Out.append(Buf, End);
}

void AppendAttr(std::string& Out, const char* Name, int32_t Value) {
    Out += ' ';
    Out += Name;
    Out += "=\"";
    AppendInt(Out, Value);
    Out += '"';
}

// <Name>text</Name>, or <Name/> for the empty text.
void AppendElement(std::string& Out, const char* Indent, const char* Name,
                   const std::string& Text) {
    Out += Indent;
    Out += '<';
    Out += Name;
    if (Text.empty()) {
        Out += "/>\n";
        return;
    }
    Out += '>';
    AppendText(Out, Text);
    Out += "</";
    Out += Name;
    Out += ">\n";
}

void AppendElement(std::string& Out, const char* Indent, const char* Name, int64_t Value) {
    Out += Indent;
    Out += '<';
    Out += Name;
    Out += '>';
    AppendInt(Out, Value);
    Out += "</";
    Out += Name;
    Out += ">\n";
}

size_t MessageTextBytes(const TBatchMessage& M) {
    size_t N = M.BatchName.size() + M.Reference.size() + M.DateTime.size() +
               M.Override.ProtocolName.size() + M.Override.MessageType.size() +
               M.Override.MessageText.size();
    for (const auto& R : M.Recipients) N += R.CellNo.size() + R.Email.size() + R.FaxNo.size() + 60;
    return N;
}

// ---- reading ----

std::string_view LocalName(const pugi::xml_node& Node) {
    std::string_view Name = Node.name();
    auto Colon = Name.find(':');
    return Colon == std::string_view::npos ? Name : Name.substr(Colon + 1);
}

pugi::xml_node Child(const pugi::xml_node& Parent, std::string_view Name) {
    for (pugi::xml_node C = Parent.first_child(); C; C = C.next_sibling()) {
        if (C.type() == pugi::node_element && LocalName(C) == Name) return C;
    }
    return {};
}

void Load(pugi::xml_document& Doc, std::string_view Xml, unsigned Options, const char* What,
          std::string_view Root) {
    pugi::xml_parse_result Result =
        Doc.load_buffer(Xml.data(), Xml.size(), Options, pugi::encoding_utf8);
    if (!Result) {
        throw std::runtime_error(std::string(What) +
                                 " is not well-formed XML: " + Result.description() +
                                 " at offset " + std::to_string(Result.offset));
    }
    pugi::xml_node Top = Doc.document_element();
    if (!Top) throw std::runtime_error(std::string(What) + " has no root element");
    if (LocalName(Top) != Root) {
        throw std::runtime_error(std::string(What) + " has the root element '" + Top.name() +
                                 "' instead of '" + std::string(Root) + "'");
    }
}

std::string_view Trimmed(std::string_view S) {
    while (!S.empty() && static_cast<unsigned char>(S.front()) <= ' ') S.remove_prefix(1);
    while (!S.empty() && static_cast<unsigned char>(S.back()) <= ' ') S.remove_suffix(1);
    return S;
}

// The whole decimal integer in Text, false when it is none; an absent or empty value is zero.
template <typename Int>
bool ParseInt(std::string_view Text, Int& Value) {
    std::string_view T = Trimmed(Text);
    Value = 0;
    if (T.empty()) return true;
    auto [Ptr, Ec] = std::from_chars(T.data(), T.data() + T.size(), Value);
    return Ec == std::errc() && Ptr == T.data() + T.size();
}

[[noreturn]] void ThrowNotInteger(const std::string& Where, std::string_view Text,
                                  const char* Bits) {
    throw std::runtime_error(Where + " '" + std::string(Text) + "' is not a " + Bits + " integer");
}

template <typename Int>
Int ReadInt(std::string_view Text, const std::string& Where, const char* Bits) {
    Int Value;
    if (!ParseInt(Text, Value)) ThrowNotInteger(Where, Text, Bits);
    return Value;
}

bool ReadFlag(std::string_view Text, const std::string& Where) {
    std::string_view T = Trimmed(Text);
    if (T == "true" || T == "1") return true;
    if (T.empty() || T == "false" || T == "0") return false;
    throw std::runtime_error(Where + " '" + std::string(Text) + "' is not \"true\" or \"false\"");
}

std::string Attr(const pugi::xml_node& Node, const char* Name) {
    return Node.attribute(Name).value();
}

std::string Text(const pugi::xml_node& Parent, std::string_view Name) {
    return Child(Parent, Name).child_value();
}

}  // namespace

void AppendBatchHeadXml(std::string& Out, const std::string& BatchName,
                        const TBatchSender& Sender) {
    Out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<BatchRequest";
    AppendAttr(Out, "BatchName", BatchName);
    Out += ">\n  <Sender";
    AppendAttr(Out, "Name", Sender.Name);
    AppendAttr(Out, "Email", Sender.Email);
    AppendAttr(Out, "CellNo", Sender.CellNo);
    AppendAttr(Out, "FaxNo", Sender.FaxNo);
    Out += "/>\n";
}

void AppendBatchMessageHeadXml(std::string& Out, const TBatchMessage& M,
                               const TBatchOverride& Override) {
    Out += "  <MessageRequest";
    AppendAttr(Out, "BatchName", M.BatchName);
    AppendAttr(Out, "Reference", M.Reference);
    AppendAttr(Out, "Priority", M.Priority);
    AppendAttr(Out, "DateTime", M.DateTime);
    AppendAttr(Out, "Flag", M.Flag);
    Out += ">\n    <OverrideProtocol";
    AppendAttr(Out, "ProtocolName", Override.ProtocolName);
    AppendAttr(Out, "MessageType", Override.MessageType);
    AppendAttr(Out, "Flag", Override.Flag);
    AppendAttr(Out, "MessageText", Override.MessageText);
    Out += "/>\n";
}

void AppendBatchRecipientXml(std::string& Out, const TBatchRecipient& R) {
    Out += "    <Recipient";
    AppendAttr(Out, "CellNo", R.CellNo);
    AppendAttr(Out, "Email", R.Email);
    AppendAttr(Out, "FaxNo", R.FaxNo);
    Out += "/>\n";
}

void AppendBatchMessageTailXml(std::string& Out) { Out += "  </MessageRequest>\n"; }

void AppendBatchMessageXml(std::string& Out, const TBatchMessage& M) {
    AppendBatchMessageHeadXml(Out, M, M.Override);
    for (const TBatchRecipient& R : M.Recipients) AppendBatchRecipientXml(Out, R);
    AppendBatchMessageTailXml(Out);
}

void AppendBatchTailXml(std::string& Out) { Out += "</BatchRequest>\n"; }

std::string WriteBatchXml(const TBatch& Batch) {
    size_t Size = 512 + Batch.BatchName.size();
    for (const auto& M : Batch.Messages) Size += kMessageMarkupBytes + MessageTextBytes(M);
    std::string Out;
    Out.reserve(Size);
    AppendBatchHeadXml(Out, Batch.BatchName, Batch.Sender);
    for (const auto& M : Batch.Messages) AppendBatchMessageXml(Out, M);
    AppendBatchTailXml(Out);
    return Out;
}

TBatch ReadBatchXml(const std::string& Xml) {
    pugi::xml_document Doc;
    Load(Doc, Xml, pugi::parse_default, "The batch", "BatchRequest");
    pugi::xml_node Root = Doc.document_element();
    TBatch Batch;
    Batch.BatchName = Attr(Root, "BatchName");
    if (pugi::xml_node S = Child(Root, "Sender")) {
        Batch.Sender = {Attr(S, "Name"), Attr(S, "Email"), Attr(S, "CellNo"), Attr(S, "FaxNo")};
    }
    size_t Count = 0;
    for (pugi::xml_node N = Root.first_child(); N; N = N.next_sibling()) {
        if (N.type() == pugi::node_element && LocalName(N) == "MessageRequest") ++Count;
    }
    Batch.Messages.reserve(Count);
    for (pugi::xml_node N = Root.first_child(); N; N = N.next_sibling()) {
        if (N.type() != pugi::node_element || LocalName(N) != "MessageRequest") continue;
        const std::string Where = "MessageRequest " + std::to_string(Batch.Messages.size() + 1);
        TBatchMessage& M = Batch.Messages.emplace_back();
        M.BatchName = Attr(N, "BatchName");
        M.Reference = Attr(N, "Reference");
        M.Priority = ReadInt<int32_t>(Attr(N, "Priority"), Where + ": Priority", "32-bit");
        M.DateTime = Attr(N, "DateTime");
        M.Flag = ReadFlag(Attr(N, "Flag"), Where + ": Flag");
        for (pugi::xml_node C = N.first_child(); C; C = C.next_sibling()) {
            if (C.type() != pugi::node_element) continue;
            if (LocalName(C) == "OverrideProtocol") {
                M.Override.ProtocolName = Attr(C, "ProtocolName");
                M.Override.MessageType = Attr(C, "MessageType");
                M.Override.Flag = ReadFlag(Attr(C, "Flag"), Where + ": OverrideProtocol Flag");
                M.Override.MessageText = Attr(C, "MessageText");
            } else if (LocalName(C) == "Recipient") {
                M.Recipients.push_back({Attr(C, "CellNo"), Attr(C, "Email"), Attr(C, "FaxNo")});
            }
        }
    }
    return Batch;
}

std::string WriteBatchInfoXml(const TBatchInfoReply& Reply) {
    size_t Size = 512 + Reply.RecTime.size() + Reply.BatchNo.size();
    for (const auto& I : Reply.Items) {
        Size += kReplyItemMarkupBytes + I.RcptName.size() + I.RcptCellNo.size() +
                I.RcptEmail.size() + I.RcptFaxNo.size() + I.RcptTelNo.size() +
                I.RcptMergeVars.size() + I.Ref.size();
    }
    std::string Out;
    Out.reserve(Size);
    Out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<BatchInfo xmlns=\"";
    Out += kServiceNamespace;
    Out += "\">\n  <RqstList>\n";
    for (const auto& I : Reply.Items) {
        Out += "    <RqstIdent>\n      <Rcpt>\n";
        AppendElement(Out, "        ", "Name", I.RcptName);
        AppendElement(Out, "        ", "CellNo", I.RcptCellNo);
        AppendElement(Out, "        ", "Email", I.RcptEmail);
        AppendElement(Out, "        ", "FaxNo", I.RcptFaxNo);
        AppendElement(Out, "        ", "TelNo", I.RcptTelNo);
        AppendElement(Out, "        ", "MergeVars", I.RcptMergeVars);
        Out += "      </Rcpt>\n";
        AppendElement(Out, "      ", "ReqID", I.ReqID);
        AppendElement(Out, "      ", "Ref", I.Ref);
        Out += "    </RqstIdent>\n";
    }
    Out += "  </RqstList>\n";
    AppendElement(Out, "  ", "RecTime", Reply.RecTime);
    AppendElement(Out, "  ", "BatchID", Reply.BatchID);
    AppendElement(Out, "  ", "BatchNo", Reply.BatchNo);
    Out += "</BatchInfo>\n";
    return Out;
}

namespace {

void LoadBatchInfo(pugi::xml_document& Doc, std::string_view Xml) {
    // A value made only of blanks is still a value; indentation between elements is not.
    Load(Doc, Xml, pugi::parse_default | pugi::parse_ws_pcdata_single, "The BatchInfo reply",
         "BatchInfo");
}

// The identifiers of a BatchInfo document in the plain form a gateway writes (elements without
// prefixes, attributes, entities in texts, nothing else), read in one pass without a document
// tree. False, with nothing promised, for anything else: the document reader then decides, with
// its own words for what is wrong.
class TPlainBatchInfo {
  public:
    explicit TPlainBatchInfo(std::string_view Xml) : X(Xml) {}

    bool Read(std::vector<int64_t>& Ids) {
        // The tree's parser ends a document at a NUL.
        if (X.find('\0') != std::string_view::npos) return false;
        if (X.substr(0, 5) == "<?xml") {
            const size_t End = X.find("?>");
            if (End == std::string_view::npos) return false;
            P = End + 2;
        }
        SkipBlanks();
        if (P == X.size() || X[P] != '<') return false;
        for (;;) {
            if (P == X.size()) return false;  // the root never closed
            if (X[P] != '<') {
                if (!Text()) return false;
                continue;
            }
            if (P + 1 < X.size() && X[P + 1] == '/') {
                if (!Close()) return false;
            } else if (!Open()) {
                return false;
            }
            if (Depth == 0) break;
        }
        SkipBlanks();
        if (P != X.size()) return false;
        int64_t BatchID;
        if (!ParseInt(BatchIDText, BatchID)) return false;
        Ids = std::move(Found);
        return true;
    }

  private:
    // Looked up, not compared: the scan runs over every tag of a reply of a million items.
    static constexpr std::array<bool, 256> kNameChars = [] {
        std::array<bool, 256> T{};
        for (int C = 0; C < 256; ++C)
            T[C] = (C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z') || (C >= '0' && C <= '9') ||
                   C == '_' || C == '-' || C == '.';
        return T;
    }();
    static bool NameChar(char C) { return kNameChars[static_cast<unsigned char>(C)]; }
    static bool Blank(char C) { return C == ' ' || C == '\t' || C == '\r' || C == '\n'; }
    void SkipBlanks() {
        while (P < X.size() && Blank(X[P])) ++P;
    }
    std::string_view Name() {
        const size_t Start = P;
        if (P < X.size() && ((X[P] >= '0' && X[P] <= '9') || X[P] == '-' || X[P] == '.')) return {};
        while (P < X.size() && NameChar(X[P])) ++P;
        return X.substr(Start, P - Start);
    }
    // The five entities of XML; anything else (character references too) is for the tree.
    static bool Entities(std::string_view T) {
        for (size_t At = T.find('&'); At != std::string_view::npos; At = T.find('&', At + 1)) {
            const size_t End = T.find(';', At);
            if (End == std::string_view::npos) return false;
            const std::string_view E = T.substr(At + 1, End - At - 1);
            if (E != "amp" && E != "lt" && E != "gt" && E != "quot" && E != "apos") return false;
        }
        return true;
    }
    bool Open() {
        ++P;
        const std::string_view N = Name();
        if (N.empty()) return false;
        for (;;) {
            const size_t Before = P;
            SkipBlanks();
            if (P == X.size()) return false;
            if (X[P] == '>' || X[P] == '/') break;
            if (P == Before || Name().empty()) return false;
            SkipBlanks();
            if (P == X.size() || X[P] != '=') return false;
            ++P;
            SkipBlanks();
            if (P == X.size() || (X[P] != '"' && X[P] != '\'')) return false;
            const size_t End = X.find(X[P], P + 1);
            if (End == std::string_view::npos) return false;
            const std::string_view Value = X.substr(P + 1, End - P - 1);
            if (Value.find('<') != std::string_view::npos || !Entities(Value)) return false;
            P = End + 1;
        }
        const bool Empty = X[P] == '/';
        if (Empty && (P + 1 == X.size() || X[P + 1] != '>')) return false;
        P += Empty ? 2 : 1;
        // An element inside one whose text is read makes its text a matter for the tree.
        if (Capturing) return false;
        if (!Enter(N)) return false;
        if (Empty) Leave();
        return !Bad;
    }
    bool Close() {
        P += 2;
        const std::string_view N = Name();
        SkipBlanks();
        if (N.empty() || P == X.size() || X[P] != '>' || Path.empty() || Path.back() != N)
            return false;
        ++P;
        Leave();
        return !Bad;
    }
    bool Text() {
        // Texts here are short (indentation, numbers): one pass over the bytes beats two calls
        // to look for the end and for an entity.
        size_t End = P;
        bool Entity = false;
        while (End < X.size() && X[End] != '<') Entity |= X[End++] == '&';
        if (End == X.size()) return false;
        const std::string_view T = X.substr(P, End - P);
        P = End;
        if (Entity && !Entities(T)) return false;
        if (Capturing && !Captured) {
            if (Entity) return false;
            *Capturing = T;
            Captured = true;
        }
        return true;
    }
    bool Enter(std::string_view N) {
        if (Depth == 0 && (N != "BatchInfo" || SeenRoot)) return false;
        Path.push_back(N);
        if (Depth == 0) SeenRoot = true;
        if (Depth == 1 && N == "RqstList" && !ListSeen) ListSeen = InList = true;
        if (Depth == 1 && N == "BatchID" && !BatchIDSeen) Capture(BatchIDText), BatchIDSeen = true;
        if (Depth == 2 && InList && N == "RqstIdent")
            InItem = true, ItemReqID = {}, ReqIDSeen = false;
        if (Depth == 3 && InItem && N == "ReqID" && !ReqIDSeen)
            Capture(ItemReqID), ReqIDSeen = true;
        ++Depth;
        return true;
    }
    void Leave() {
        --Depth;
        Path.pop_back();
        Capturing = nullptr;
        if (Depth == 2 && InItem) {
            int64_t& Id = Found.emplace_back();
            // A number that is none is for the tree to say.
            if (!ParseInt(ItemReqID, Id)) Bad = true;
            InItem = false;
        }
        if (Depth == 1 && InList) InList = false;
    }
    void Capture(std::string_view& Into) {
        Into = {};
        Capturing = &Into;
        Captured = false;
    }

    std::string_view X;
    size_t P = 0;
    int Depth = 0;
    std::vector<std::string_view> Path;  // the names of the open elements
    bool SeenRoot = false, ListSeen = false, InList = false, InItem = false, ReqIDSeen = false,
         BatchIDSeen = false, Captured = false, Bad = false;
    std::string_view* Capturing = nullptr;
    std::string_view ItemReqID, BatchIDText;
    std::vector<int64_t> Found;
};

}  // namespace

std::vector<int64_t> ReadBatchInfoIdentifiers(std::string_view Xml) {
    std::vector<int64_t> Ids;
    if (TPlainBatchInfo(Xml).Read(Ids)) return Ids;
    pugi::xml_document Doc;
    LoadBatchInfo(Doc, Xml);
    pugi::xml_node Root = Doc.document_element();
    pugi::xml_node List = Child(Root, "RqstList");
    for (pugi::xml_node N = List.first_child(); N; N = N.next_sibling()) {
        if (N.type() != pugi::node_element || LocalName(N) != "RqstIdent") continue;
        const std::string_view ReqID = Child(N, "ReqID").child_value();
        if (!ParseInt(ReqID, Ids.emplace_back()))
            ThrowNotInteger("RqstIdent " + std::to_string(Ids.size()) + ": ReqID", ReqID, "64-bit");
    }
    ReadInt<int64_t>(Child(Root, "BatchID").child_value(), "BatchID", "64-bit");
    return Ids;
}

TBatchInfoReply ReadBatchInfoXml(const std::string& Xml) {
    pugi::xml_document Doc;
    LoadBatchInfo(Doc, Xml);
    pugi::xml_node Root = Doc.document_element();
    TBatchInfoReply Reply;
    pugi::xml_node List = Child(Root, "RqstList");
    for (pugi::xml_node N = List.first_child(); N; N = N.next_sibling()) {
        if (N.type() != pugi::node_element || LocalName(N) != "RqstIdent") continue;
        const std::string Where = "RqstIdent " + std::to_string(Reply.Items.size() + 1);
        TBatchInfoItem& I = Reply.Items.emplace_back();
        pugi::xml_node R = Child(N, "Rcpt");
        I.RcptName = Text(R, "Name");
        I.RcptCellNo = Text(R, "CellNo");
        I.RcptEmail = Text(R, "Email");
        I.RcptFaxNo = Text(R, "FaxNo");
        I.RcptTelNo = Text(R, "TelNo");
        I.RcptMergeVars = Text(R, "MergeVars");
        I.ReqID = ReadInt<int64_t>(Text(N, "ReqID"), Where + ": ReqID", "64-bit");
        I.Ref = Text(N, "Ref");
    }
    Reply.RecTime = Text(Root, "RecTime");
    Reply.BatchID = ReadInt<int64_t>(Text(Root, "BatchID"), "BatchID", "64-bit");
    Reply.BatchNo = Text(Root, "BatchNo");
    return Reply;
}
