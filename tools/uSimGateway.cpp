#include "tools/uSimGateway.h"

#include <cctype>
#include <charconv>
#include <chrono>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>
#include <pugixml.hpp>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "clientsdk/BatchFormat.h"
#include "support/uXmlText.h"

namespace {

const char* const kServiceNs = "http://vexo.gateway";
const char* const kEnvelopeNs = "http://schemas.xmlsoap.org/soap/envelope/";
const char* const kActionPrefix = "http://vexo.gateway/Vexo.Webservice.";
const char* const kServicePath = "/csp/vexo/Vexo.Webservice.cls";
constexpr int64_t kFirstReqID = 1000001;
// Every third message (the first included) gets a reply.
constexpr size_t kReplyEvery = 3;
constexpr size_t kMaxLoggedRequests = 100;
constexpr size_t kMaxLoggedBodyBytes = size_t(1) << 20;
constexpr int kMaxDelayMs = 10 * 60 * 1000;

// The gateway's answer to a call it refuses: a SOAP fault.
struct TSimFault : std::runtime_error {
    TSimFault(const std::string& Text, std::string Code = "soap:Server")
        : std::runtime_error(Text), FaultCode(std::move(Code)) {}
    std::string FaultCode;
};

// Parameter kinds: 's' string, 'l' 64-bit integer, 'b' boolean. Results: 's', 'l', and
// 'B' (BatchInfo), 'R' (RequestLog) for the structured ones.
struct TSimOp {
    const char* Name;
    std::vector<std::pair<const char*, char>> Params;
    char Result;
};

const std::vector<TSimOp>& Operations() {
    static const std::vector<TSimOp> Ops = {
        {"GetBatchInfo", {{"Token", 's'}, {"BatchNo", 's'}}, 's'},
        {"GetBatchInfoObject", {{"Token", 's'}, {"BatchNo", 's'}}, 'B'},
        {"GetMOMessagesForDateRange", {{"Token", 's'}, {"StartDate", 's'}, {"EndDate", 's'}}, 's'},
        {"GetMessageDetail", {{"Token", 's'}, {"MessageID", 'l'}}, 's'},
        {"GetMessageStatus", {{"Token", 's'}, {"MessageID", 'l'}}, 's'},
        {"GetOSMOMessages", {{"Token", 's'}}, 's'},
        {"GetOSReplies", {{"Token", 's'}, {"ClientApp", 's'}}, 's'},
        {"GetOSSMSReplies", {{"Token", 's'}}, 's'},
        {"GetOSSMSStatus", {{"Token", 's'}}, 's'},
        {"GetOSStatus", {{"Token", 's'}, {"ClientApp", 's'}}, 's'},
        {"GetRequestLog", {{"Token", 's'}, {"RequestID", 'l'}}, 's'},
        {"GetRequestLogObject", {{"Token", 's'}, {"RequestID", 'l'}}, 'R'},
        {"GetRequestMessages", {{"Token", 's'}, {"RequestID", 'l'}}, 's'},
        {"GetRuleMergeVars", {{"Token", 's'}, {"ID", 's'}}, 's'},
        {"GetRules", {{"Token", 's'}, {"LastUpdate", 's'}}, 's'},
        {"GetSMSReply", {{"Token", 's'}, {"MessageID", 's'}}, 's'},
        {"GetStatus", {{"Token", 's'}}, 'l'},
        {"GetTemplateMergeVars", {{"Token", 's'}, {"ID", 's'}}, 's'},
        {"GetTemplates", {{"Token", 's'}, {"Protocol", 's'}, {"LastUpdate", 's'}}, 's'},
        {"Login", {{"Username", 's'}, {"Password", 's'}}, 's'},
        {"Logout", {{"Token", 's'}}, 'l'},
        {"Send", {{"Token", 's'}, {"XMLStream", 's'}, {"Compressed", 'b'}}, 's'},
        {"SendNS",
         {{"UserName", 's'}, {"Password", 's'}, {"XMLStream", 's'}, {"Compressed", 'b'}},
         's'},
        {"SendSMSMessage",
         {{"Token", 's'},
          {"RefNo", 's'},
          {"PhoneNo", 's'},
          {"MsgType", 's'},
          {"Message", 's'},
          {"CostClass", 's'},
          {"Priority", 'l'}},
         'l'},
        {"SendSMSMessageNS",
         {{"Username", 's'},
          {"Password", 's'},
          {"RefNo", 's'},
          {"PhoneNo", 's'},
          {"MsgType", 's'},
          {"Message", 's'},
          {"CostClass", 's'},
          {"Priority", 'l'}},
         'l'},
        {"Test", {{"Testval", 's'}}, 'l'},
    };
    return Ops;
}

const TSimOp* FindOp(const std::string& Name) {
    for (const auto& Op : Operations())
        if (Name == Op.Name) return &Op;
    return nullptr;
}

const std::set<std::string> kFaultKinds = {"fault",      "http500",  "html",      "plain",
                                           "malformed",  "noroot",   "wrongroot", "twobodies",
                                           "twoheaders", "noresult", "renamed",   "multichild",
                                           "emptybody",  "delay",    "drop"};

const char* const kTypesXsd =
    "<s:complexType name=\"Rcpt\"><s:sequence><s:element name=\"Name\" type=\"s:string\"/>"
    "<s:element name=\"CellNo\" type=\"s:string\"/><s:element name=\"Email\" "
    "type=\"s:string\"/><s:element name=\"FaxNo\" type=\"s:string\"/><s:element "
    "name=\"TelNo\" type=\"s:string\"/><s:element name=\"MergeVars\" "
    "type=\"s:string\"/></s:sequence></s:complexType>\n"
    "<s:complexType name=\"RqstIdent\"><s:sequence><s:element name=\"Rcpt\" "
    "type=\"tns:Rcpt\"/><s:element name=\"ReqID\" type=\"s:long\"/><s:element name=\"Ref\" "
    "type=\"s:string\"/></s:sequence></s:complexType>\n"
    "<s:complexType name=\"ArrayOfRqstIdentRqstIdent\"><s:sequence><s:element "
    "name=\"RqstIdent\" type=\"tns:RqstIdent\" minOccurs=\"0\" "
    "maxOccurs=\"unbounded\"/></s:sequence></s:complexType>\n"
    "<s:complexType name=\"BatchInfo\"><s:sequence><s:element name=\"RqstList\" "
    "type=\"tns:ArrayOfRqstIdentRqstIdent\"/><s:element name=\"RecTime\" type=\"s:string\"/>"
    "<s:element name=\"BatchID\" type=\"s:long\"/><s:element name=\"BatchNo\" "
    "type=\"s:string\"/></s:sequence></s:complexType>\n"
    "<s:complexType name=\"RuleProcess\"><s:sequence><s:element name=\"MsgID\" "
    "type=\"s:long\"/><s:element name=\"Rule\" type=\"s:string\"/><s:element name=\"Prot\" "
    "type=\"s:string\"/><s:element name=\"Gened\" type=\"s:boolean\"/><s:element "
    "name=\"LogTxt\" type=\"s:string\"/><s:element name=\"ProcTime\" "
    "type=\"s:string\"/></s:sequence></s:complexType>\n"
    "<s:complexType name=\"ArrayOfRuleProcRuleProcess\"><s:sequence><s:element "
    "name=\"RuleProc\" type=\"tns:RuleProcess\" minOccurs=\"0\" "
    "maxOccurs=\"unbounded\"/></s:sequence></s:complexType>\n"
    "<s:complexType name=\"RequestLog\"><s:sequence><s:element name=\"RuleProcLog\" "
    "type=\"tns:ArrayOfRuleProcRuleProcess\"/><s:element name=\"ReqID\" type=\"s:long\"/>"
    "<s:element name=\"RecTime\" type=\"s:string\"/><s:element name=\"Status\" "
    "type=\"s:byte\"/></s:sequence></s:complexType>\n";

// A raw document set up by a test, handed out once.
std::optional<std::string> TakeOnce(std::optional<std::string>& Next) {
    std::optional<std::string> Raw = std::move(Next);
    Next.reset();
    return Raw;
}

std::string Now() {
    const std::time_t T = std::time(nullptr);
    std::tm Tm{};
    localtime_r(&T, &Tm);
    char Buf[32];
    std::strftime(Buf, sizeof Buf, "%Y-%m-%d %H:%M:%S", &Tm);
    return Buf;
}

std::string Esc(std::string_view Value) {
    std::string Out;
    AppendXmlEscaped(Out, Value, false);
    return Out;
}

void AppendAttr(std::string& Out, const char* Name, std::string_view Value) {
    Out += ' ';
    Out += Name;
    Out += "=\"";
    AppendXmlEscaped(Out, Value, true);
    Out += '"';
}

// The way the gateway hands out documents: inside a CDATA section, split where the text itself
// holds the section's end marker; appended as the text of a result element, so escaped once more.
void AppendCDATAEscaped(std::string& Out, std::string_view Xml) {
    Out += "&lt;![CDATA[";
    size_t From = 0;
    for (size_t At; (At = Xml.find("]]>", From)) != std::string_view::npos; From = At + 3) {
        AppendXmlEscaped(Out, Xml.substr(From, At - From), false);
        Out += "]]]]&gt;&lt;![CDATA[&gt;";
    }
    AppendXmlEscaped(Out, Xml.substr(From), false);
    Out += "]]&gt;";
}

// A value that stays as it is in the BatchInfo document and in the result's text.
bool IsPlainValue(std::string_view Value) {
    for (unsigned char C : Value)
        if (C < 0x20 || C >= 0x7F || C == '&' || C == '<' || C == '>' || C == '"') return false;
    return true;
}

// A value of the BatchInfo document as its writer puts it (clientsdk/BatchFormat.h: XML-safe
// text, escaped as an attribute is), escaped once more for the result element.
std::string ValueEscapedTwice(std::string_view Value) {
    std::string Once, Twice;
    AppendXmlEscaped(Once, ToXmlText(std::string(Value)), true);
    AppendXmlEscaped(Twice, Once, false);
    return Twice;
}

// One element of the BatchInfo document in its layout (<Name>value</Name>, or <Name/> when the
// value is empty), escaped for the result, put together from its fixed pieces.
struct TEscapedElement {
    std::string Open, Close, Empty;
    TEscapedElement(std::string_view Indent, std::string_view Name)
        : Open(Esc(std::string(Indent) + "<" + std::string(Name) + ">")),
          Close(Esc("</" + std::string(Name) + ">\n")),
          Empty(Esc(std::string(Indent) + "<" + std::string(Name) + "/>\n")) {}
    size_t Size(std::string_view Value) const {
        if (Value.empty()) return Empty.size();
        return Open.size() + Close.size() +
               (IsPlainValue(Value) ? Value.size() : ValueEscapedTwice(Value).size());
    }
    char* Write(char* P, std::string_view Value) const {
        if (Value.empty()) return Put(P, Empty);
        P = Put(P, Open);
        P = IsPlainValue(Value) ? Put(P, Value) : Put(P, ValueEscapedTwice(Value));
        return Put(P, Close);
    }
    static char* Put(char* P, std::string_view Text) {
        std::memcpy(P, Text.data(), Text.size());
        return P + Text.size();
    }
};

// The Send result of a batch, made piece by piece: the document WriteBatchInfoXml makes of the
// batch (GetBatchInfo answers with that one), inside a CDATA section, escaped as the result's
// text. The markup is escaped once; per message only its values are looked at. The section needs
// no split: the document never holds "]]>", as values have '>' escaped.
class TSendResult {
  public:
    TSendResult(size_t First, size_t Count, std::string RecTime, int64_t BatchID,
                std::string BatchNo)
        : End_(First + Count),
          Next_(First),
          RecTime_(std::move(RecTime)),
          BatchID_(std::to_string(BatchID)),
          BatchNo_(std::move(BatchNo)) {}

    // Makes the first piece and returns the length of the whole result, which is measured only
    // when it takes more than one piece. Call once, before Next.
    size_t Start(const TSimMessages& Messages) {
        size_t Total = Make(Messages).size();
        if (!Done_) {
            Total += TailSize();
            for (size_t I = Next_; I < End_; ++I) Total += ItemSize(Messages.Texts(I), I);
        }
        Started_ = true;
        return Total;
    }

    // The next piece of the result, "" after the last; valid until the next call.
    std::string_view Next(const TSimMessages& Messages) {
        if (Started_) {
            Started_ = false;
            return Piece_;
        }
        return Make(Messages);
    }

  private:
    std::string_view Make(const TSimMessages& Messages) {
        const TPieces& K = Pieces();
        if (Done_) return Piece_ = {};
        // The room is kept from piece to piece; only the part written is handed out.
        if (!Buffer_) Grow(kPieceBytes);
        char* P = Buffer_.get();
        if (!HeadDone_) {
            P = Put(P, K.Head);
            HeadDone_ = true;
        }
        for (; Next_ < End_; ++Next_) {
            const TSimTexts T = Messages.Texts(Next_);
            const size_t Bytes = ItemSize(T, Next_);
            if (size_t(Buffer_.get() + Capacity_ - P) < Bytes) {
                if (P != Buffer_.get()) break;
                Grow(Bytes);  // an item larger than a piece
                P = Buffer_.get();
            }
            P = Put(P, K.ItemHead);
            P = K.CellNo.Write(P, T[kSimCellNo]);
            P = K.Email.Write(P, T[kSimEmail]);
            P = K.FaxNo.Write(P, T[kSimFaxNo]);
            P = Put(P, K.ItemMiddle);
            P = Put(P, K.ReqID.Open);
            P = std::to_chars(P, P + kMaxNumberBytes, kFirstReqID + int64_t(Next_)).ptr;
            P = Put(P, K.ReqID.Close);
            P = K.Ref.Write(P, T[kSimReference]);
            P = Put(P, K.ItemTail);
        }
        if (Next_ == End_ && size_t(Buffer_.get() + Capacity_ - P) >= TailSize()) {
            P = Put(P, K.ListEnd);
            P = K.RecTime.Write(P, RecTime_);
            P = K.BatchID.Write(P, BatchID_);
            P = K.BatchNo.Write(P, BatchNo_);
            P = Put(P, K.Tail);
            Done_ = true;
        }
        return Piece_ = std::string_view(Buffer_.get(), size_t(P - Buffer_.get()));
    }
    void Grow(size_t Bytes) {
        Buffer_.reset(new char[Bytes]);
        Capacity_ = Bytes;
    }

    static constexpr size_t kPieceBytes = size_t(1) << 20;
    static constexpr size_t kMaxNumberBytes = 20;

    struct TPieces {
        std::string Head =
            Esc("<![CDATA[<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<BatchInfo xmlns=\"" +
                std::string(kServiceNs) + "\">\n  <RqstList>\n");
        std::string ItemHead = Esc("    <RqstIdent>\n      <Rcpt>\n        <Name/>\n");
        std::string ItemMiddle = Esc("        <TelNo/>\n        <MergeVars/>\n      </Rcpt>\n");
        std::string ItemTail = Esc("    </RqstIdent>\n");
        std::string ListEnd = Esc("  </RqstList>\n");
        std::string Tail = Esc("</BatchInfo>\n]]>");
        TEscapedElement CellNo{"        ", "CellNo"}, Email{"        ", "Email"},
            FaxNo{"        ", "FaxNo"}, ReqID{"      ", "ReqID"}, Ref{"      ", "Ref"},
            RecTime{"  ", "RecTime"}, BatchID{"  ", "BatchID"}, BatchNo{"  ", "BatchNo"};
    };
    static const TPieces& Pieces() {
        static const TPieces K;
        return K;
    }
    static char* Put(char* P, std::string_view Text) { return TEscapedElement::Put(P, Text); }

    // What message I adds, T being its texts.
    static size_t ItemSize(const TSimTexts& T, size_t I) {
        const TPieces& K = Pieces();
        char Number[kMaxNumberBytes];
        const size_t ReqIDBytes = size_t(
            std::to_chars(Number, Number + sizeof Number, kFirstReqID + int64_t(I)).ptr - Number);
        return K.ItemHead.size() + K.CellNo.Size(T[kSimCellNo]) + K.Email.Size(T[kSimEmail]) +
               K.FaxNo.Size(T[kSimFaxNo]) + K.ItemMiddle.size() + K.ReqID.Open.size() + ReqIDBytes +
               K.ReqID.Close.size() + K.Ref.Size(T[kSimReference]) + K.ItemTail.size();
    }
    size_t TailSize() const {
        const TPieces& K = Pieces();
        return K.ListEnd.size() + K.RecTime.Size(RecTime_) + K.BatchID.Size(BatchID_) +
               K.BatchNo.Size(BatchNo_) + K.Tail.size();
    }

    const size_t End_;
    size_t Next_;
    bool HeadDone_ = false, Done_ = false, Started_ = false;
    const std::string RecTime_, BatchID_, BatchNo_;
    std::unique_ptr<char[]> Buffer_;
    size_t Capacity_ = 0;
    std::string_view Piece_;
};

void AppendCsvField(std::string& Out, std::string_view Value) {
    for (char C : Value) {
        switch (C) {
            case '\\':
                Out += "\\\\";
                break;
            case ',':
                Out += "\\,";
                break;
            case '\r':
                Out += "\\r";
                break;
            case '\n':
                Out += "\\n";
                break;
            default:
                Out += C;
        }
    }
}

std::string LocalName(const char* Name) {
    const char* Colon = std::strchr(Name, ':');
    return Colon ? Colon + 1 : Name;
}

std::string NamespaceOf(pugi::xml_node Node) {
    const char* Colon = std::strchr(Node.name(), ':');
    const std::string Attr =
        Colon ? "xmlns:" + std::string(Node.name(), Colon) : std::string("xmlns");
    for (pugi::xml_node N = Node; N && N.type() == pugi::node_element; N = N.parent())
        if (pugi::xml_attribute A = N.attribute(Attr.c_str())) return A.value();
    return "";
}

// The character data directly inside Node. A single piece is a view into the parsed document
// (a batch may be hundreds of megabytes); several are joined in a string kept by Owned.
std::string_view TextOf(pugi::xml_node Node, std::deque<std::string>& Owned) {
    std::string_view One;
    std::string* Joined = nullptr;
    for (pugi::xml_node N = Node.first_child(); N; N = N.next_sibling()) {
        if (N.type() == pugi::node_pcdata || N.type() == pugi::node_cdata) {
            const std::string_view Piece = N.value();
            if (Joined) {
                Joined->append(Piece);
            } else if (One.data()) {
                Joined = &Owned.emplace_back(One);
                Joined->append(Piece);
            } else {
                One = Piece;
            }
        } else if (N.type() == pugi::node_element) {
            throw TSimFault(
                "Element " + std::string(N.name()) + " is not allowed inside " + Node.name(),
                "soap:Client");
        }
    }
    return Joined ? std::string_view(*Joined) : One;
}

bool ParseInt64(std::string_view Text, int64_t& Value) {
    if (Text.empty()) return false;
    const char* Begin = Text.data() + (Text[0] == '+' ? 1 : 0);
    auto [End, Err] = std::from_chars(Begin, Text.data() + Text.size(), Value);
    return Err == std::errc() && End == Text.data() + Text.size();
}

std::string MediaType(const std::string& ContentType) {
    std::string M = ContentType.substr(0, ContentType.find(';'));
    while (!M.empty() && M.back() == ' ') M.pop_back();
    for (char& C : M) C = char(std::tolower(static_cast<unsigned char>(C)));
    return M;
}

void AppendEnvelopeHead(std::string& Out) {
    Out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"";
    Out += kEnvelopeNs;
    Out += "\"><SOAP-ENV:Body>";
}

const char* const kEnvelopeTail = "</SOAP-ENV:Body></SOAP-ENV:Envelope>";

std::string EnvelopeAround(const std::string& BodyContent) {
    std::string Out;
    Out.reserve(BodyContent.size() + 300);
    AppendEnvelopeHead(Out);
    Out += BodyContent;
    Out += kEnvelopeTail;
    return Out;
}

TSimHttpResponse FaultResponse(const std::string& Code, const std::string& Text) {
    TSimHttpResponse R;
    R.Status = 500;
    R.Body =
        EnvelopeAround("<SOAP-ENV:Fault><faultcode>" + Esc(Code) + "</faultcode><faultstring>" +
                       Esc(Text) + "</faultstring></SOAP-ENV:Fault>");
    return R;
}

}  // namespace

struct TSimGateway::TCall {
    const TSimOp* Op = nullptr;
    // In declared order, as received: views into the request's parsed document or into Owned.
    std::vector<std::string_view> Args;
    std::deque<std::string> Owned;
    std::string Arg(size_t I) const { return std::string(Args.at(I)); }
    std::string_view View(size_t I) const { return Args.at(I); }
    int64_t Int(size_t I) const {
        int64_t V = 0;
        ParseInt64(Args.at(I), V);
        return V;
    }
    bool Bool(size_t I) const { return Args.at(I) == "true"; }
};

TSimGateway::TSimGateway(std::string Username, std::string Password, std::string BaseUrl)
    : Username_(std::move(Username)),
      Password_(std::move(Password)),
      BaseUrl_(std::move(BaseUrl)) {}

TSimHttpResponse TSimGateway::HandleSoap(TSimHttpRequest Request) {
    {
        std::lock_guard<std::mutex> Lock(Mutex_);
        if (Requests_.size() >= kMaxLoggedRequests) Requests_.erase(Requests_.begin());
        Requests_.push_back({Request.Method, Request.Path, Request.Host, Request.SoapAction,
                             Request.ContentType, Request.Body.substr(0, kMaxLoggedBodyBytes)});
    }
    // Parsed in place: the values are read where they lie, without a copy of the whole body.
    pugi::xml_document Doc;
    pugi::xml_parse_result Parsed =
        Doc.load_buffer_inplace(Request.Body.data(), Request.Body.size());
    if (!Parsed)
        return FaultResponse(
            "soap:Client", std::string("Request is not well-formed XML: ") + Parsed.description());
    pugi::xml_node Root = Doc.document_element();
    if (LocalName(Root.name()) != "Envelope" || NamespaceOf(Root) != kEnvelopeNs)
        return FaultResponse("soap:VersionMismatch", "Request is not a SOAP 1.1 envelope");
    pugi::xml_node Body;
    for (pugi::xml_node N = Root.first_child(); N; N = N.next_sibling())
        if (N.type() == pugi::node_element && LocalName(N.name()) == "Body" &&
            NamespaceOf(N) == kEnvelopeNs)
            Body = N;
    pugi::xml_node OpNode =
        Body.find_child([](pugi::xml_node N) { return N.type() == pugi::node_element; });
    if (!OpNode) return FaultResponse("soap:Client", "Request without an operation element");
    const std::string OpName = LocalName(OpNode.name());
    if (NamespaceOf(OpNode) != kServiceNs)
        return FaultResponse("soap:Client", "Operation " + OpName + " must be in namespace " +
                                                kServiceNs + ", found '" + NamespaceOf(OpNode) +
                                                "'");
    TCall Call;
    Call.Op = FindOp(OpName);
    if (!Call.Op) return FaultResponse("soap:Client", "Unknown operation " + OpName);
    const std::string Action = std::string("\"") + kActionPrefix + OpName + "\"";
    if (Request.SoapAction != Action)
        return FaultResponse("soap:Client", "SOAPAction " + Request.SoapAction +
                                                " does not match operation " + OpName);
    if (MediaType(Request.ContentType) != "text/xml")
        return FaultResponse("soap:Client",
                             "Content-Type " + Request.ContentType + " is not text/xml");

    TFault Fault;
    {
        std::lock_guard<std::mutex> Lock(Mutex_);
        for (const char* Key : {OpName.c_str(), "*"}) {
            auto It = RawReplies_.find(Key);
            if (It == RawReplies_.end()) continue;
            TSimHttpResponse Raw = std::move(It->second);
            RawReplies_.erase(It);
            return Raw;
        }
        for (const char* Key : {OpName.c_str(), "*"}) {
            auto It = Faults_.find(Key);
            if (It == Faults_.end() || It->second.Count <= 0) continue;
            Fault = It->second;
            if (--It->second.Count == 0) Faults_.erase(It);
            break;
        }
    }
    const std::string Response = OpName + "Response xmlns=\"" + kServiceNs + "\"";
    const std::string Result = OpName + "Result";
    TSimHttpResponse Out;
    if (Fault.Kind == "fault") return FaultResponse("soap:Server", "Simulated fault in " + OpName);
    if (Fault.Kind == "http500") {
        Out.Status = 500;
        Out.ContentType = "text/html";
        Out.Body = "<html><body><h1>500 Internal Server Error</h1></body></html>";
        return Out;
    }
    if (Fault.Kind == "html") {
        Out.ContentType = "text/html; charset=UTF-8";
        Out.Body = "<html><head><title>Maintenance</title></head><body>Back soon</body></html>";
        return Out;
    }
    if (Fault.Kind == "plain") {
        Out.ContentType = "text/plain";
        Out.Body = "Service temporarily unavailable";
        return Out;
    }
    if (Fault.Kind == "malformed") {
        Out.Body = "<?xml version=\"1.0\"?>\n<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"" +
                   std::string(kEnvelopeNs) + "\"><SOAP-ENV:Body><" + Response + "><" + Result +
                   ">x</" + OpName + "Resul></" + OpName + "Response>";
        return Out;
    }
    if (Fault.Kind == "noroot") return Out;
    if (Fault.Kind == "wrongroot") {
        Out.Body = "<?xml version=\"1.0\"?>\n<html><body>Not a SOAP reply</body></html>";
        return Out;
    }
    if (Fault.Kind == "twobodies") {
        Out.Body = EnvelopeAround("<" + Response + "><" + Result + ">1</" + Result + "></" +
                                  OpName + "Response></SOAP-ENV:Body><SOAP-ENV:Body>");
        return Out;
    }
    if (Fault.Kind == "twoheaders") {
        Out.Body = "<?xml version=\"1.0\"?>\n<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"" +
                   std::string(kEnvelopeNs) +
                   "\"><SOAP-ENV:Header/><SOAP-ENV:Header/><SOAP-ENV:Body><" + Response + "><" +
                   Result + ">1</" + Result + "></" + OpName +
                   "Response></SOAP-ENV:Body></SOAP-ENV:Envelope>";
        return Out;
    }
    if (Fault.Kind == "noresult") {
        Out.Body = EnvelopeAround("<" + Response + "/>");
        return Out;
    }
    if (Fault.Kind == "emptybody") {
        Out.Body = EnvelopeAround("");
        return Out;
    }
    if (Fault.Kind == "drop") {
        Out.Drop = true;
        return Out;
    }
    if (Fault.Kind == "delay")
        std::this_thread::sleep_for(std::chrono::milliseconds(Fault.DelayMs));

    // The parameters must be exactly the operation's, in its order, with values of their type.
    size_t Index = 0;
    for (pugi::xml_node N = OpNode.first_child(); N; N = N.next_sibling()) {
        if (N.type() != pugi::node_element) continue;
        const std::string Name = LocalName(N.name());
        if (Index >= Call.Op->Params.size() || Name != Call.Op->Params[Index].first ||
            NamespaceOf(N) != kServiceNs)
            return FaultResponse("soap:Client", "Unexpected parameter " + Name + " in " + OpName);
        std::string_view Value;
        try {
            Value = TextOf(N, Call.Owned);
        } catch (const TSimFault& F) {
            return FaultResponse(F.FaultCode, F.what());
        }
        int64_t Number = 0;
        const char Kind = Call.Op->Params[Index].second;
        if ((Kind == 'l' && !ParseInt64(Value, Number)) ||
            (Kind == 'b' && Value != "true" && Value != "false"))
            return FaultResponse("soap:Client", "Parameter " + Name + " of " + OpName +
                                                    " has an invalid value '" + std::string(Value) +
                                                    "'");
        Call.Args.push_back(Value);
        ++Index;
    }
    if (Index != Call.Op->Params.size())
        return FaultResponse(
            "soap:Client",
            "Parameter " + std::string(Call.Op->Params[Index].first) + " missing in " + OpName);

    // The result's content goes straight into the response element, in one string.
    std::string Head = "<" + Response + ">", Tail = "</" + OpName + "Response>";
    if (Fault.Kind == "renamed") {
        Head += "<Unexpected>";
        Tail = "</Unexpected>" + Tail;
    } else if (Fault.Kind == "multichild") {
        Head += "<Info>extra</Info><return>";
        Tail = "</return><Extra>more</Extra>" + Tail;
    } else {
        Head += "<" + Result + ">";
        Tail = "</" + Result + ">" + Tail;
    }
    AppendEnvelopeHead(Out.Body);
    Out.Body += Head;
    try {
        Dispatch(Call, Out);
    } catch (const TSimFault& F) {
        return FaultResponse(F.FaultCode, F.what());
    }
    (Out.Produce ? Out.Tail : Out.Body) += Tail + kEnvelopeTail;
    return Out;
}

void TSimGateway::CheckToken(std::string_view Token) const {
    std::lock_guard<std::mutex> Lock(Mutex_);
    if (!Tokens_.count(std::string(Token)))
        throw TSimFault("Invalid or expired token", "soap:Client");
}

void TSimGateway::CheckCredentials(std::string_view Username, std::string_view Password) const {
    if (!Username_.empty() && (Username != Username_ || Password != Password_))
        throw TSimFault("Login failed: invalid username or password", "soap:Client");
}

int64_t TSimGateway::ReqIDOf(size_t Index) const { return kFirstReqID + int64_t(Index); }

size_t TSimGateway::FindMessage(int64_t ReqID) const {
    if (ReqID < kFirstReqID || ReqID >= ReqIDOf(Messages_.Size()))
        throw TSimFault("Unknown message " + std::to_string(ReqID), "soap:Client");
    return size_t(ReqID - kFirstReqID);
}

void TSimGateway::Dispatch(TCall& Call, TSimHttpResponse& Out) {
    const std::string Op = Call.Op->Name;
    std::string& R = Out.Body;
    if (Op == "Login" || Op == "SendNS" || Op == "SendSMSMessageNS") {
        CheckCredentials(Call.View(0), Call.View(1));
    } else if (Call.Op->Params[0].first == std::string("Token")) {
        CheckToken(Call.View(0));
    }
    if (Op == "Login") {
        std::lock_guard<std::mutex> Lock(Mutex_);
        std::ostringstream Token;
        Token << "SIM-" << ++TokenCounter_ << '-' << std::hex
              << (std::chrono::steady_clock::now().time_since_epoch().count() & 0xffffff);
        Tokens_.insert(Token.str());
        AppendXmlEscaped(R, Token.str(), false);
    } else if (Op == "Logout") {
        std::lock_guard<std::mutex> Lock(Mutex_);
        Tokens_.erase(Call.Arg(0));
        R += "0";
    } else if (Op == "Test") {
        int64_t Chars = 0;
        for (unsigned char C : Call.View(0)) Chars += (C & 0xC0) != 0x80;
        R += std::to_string(Chars);
    } else if (Op == "GetStatus") {
        R += "1";
    } else if (Op == "Send") {
        Send(Call.View(1), Call.Bool(2), Out);
    } else if (Op == "SendNS") {
        Send(Call.View(2), Call.Bool(3), Out);
    } else if (Op == "SendSMSMessage" || Op == "SendSMSMessageNS") {
        const size_t A = Op == "SendSMSMessage" ? 1 : 2;  // first argument after the logon
        TSimTexts Texts{};
        Texts[kSimReference] = Call.View(A);
        Texts[kSimCellNo] = Call.View(A + 1);
        Texts[kSimMessageType] = Call.View(A + 2);
        Texts[kSimText] = Call.View(A + 3);
        Texts[kSimProtocol] = "SMS";
        const std::string RecTime = Now();
        std::lock_guard<std::mutex> Lock(Mutex_);
        const size_t First = Messages_.Size();
        Messages_.Add(Texts, RecTimeIndex(RecTime));
        Queue(First);
        R += std::to_string(ReqIDOf(First));
    } else if (Op == "GetOSStatus") {
        OSStatus(Call.Arg(1), R);
    } else if (Op == "GetOSReplies") {
        OSReplies(Call.Arg(1), R);
    } else if (Op == "GetBatchInfo" || Op == "GetBatchInfoObject") {
        std::string Xml;
        {
            std::lock_guard<std::mutex> Lock(Mutex_);
            for (const auto& B : Batches_)
                if (B.BatchNo == Call.View(1)) Xml = BatchInfoXml(B);
        }
        if (Xml.empty()) throw TSimFault("Unknown batch " + Call.Arg(1), "soap:Client");
        if (Op == "GetBatchInfo") {
            AppendCDATAEscaped(R, Xml);
        } else {
            // The document's members become the result element's children.
            pugi::xml_document Doc;
            Doc.load_string(Xml.c_str());
            std::ostringstream Members;
            for (pugi::xml_node N : Doc.document_element().children())
                N.print(Members, "", pugi::format_raw);
            R += Members.str();
        }
    } else if (Op == "GetMessageDetail" || Op == "GetMessageStatus" || Op == "GetSMSReply" ||
               Op == "GetRequestLog" || Op == "GetRequestLogObject") {
        int64_t ReqID = 0;
        if (Op == "GetSMSReply") {
            if (!ParseInt64(Call.View(1), ReqID))
                throw TSimFault("MessageID '" + Call.Arg(1) + "' is not a number", "soap:Client");
        } else {
            ReqID = Call.Int(1);
        }
        std::lock_guard<std::mutex> Lock(Mutex_);
        const size_t I = FindMessage(ReqID);
        const TSimTexts Texts = Messages_.Texts(I);
        auto Text = [&](ESimText T) { return Texts[T]; };
        const std::string Address(SimAddress(Texts));
        const std::string Protocol(Text(kSimProtocol));
        const std::string& RecTime = RecTimes_[Messages_.Tag(I)];
        const bool Delivered = !Address.empty();
        std::string X;
        if (Op == "GetMessageDetail") {
            X = "<MessageDetail";
            AppendAttr(X, "ReqID", std::to_string(ReqID));
            AppendAttr(X, "BatchName", Text(kSimBatchName));
            AppendAttr(X, "Protocol", Protocol);
            AppendAttr(X, "Address", Address);
            AppendAttr(X, "Reference", Text(kSimReference));
            AppendAttr(X, "MessageType", Text(kSimMessageType));
            AppendAttr(X, "Text", Text(kSimText));
            X += "/>";
            AppendXmlEscaped(R, X, false);
        } else if (Op == "GetMessageStatus") {
            X = "<MessageStatus";
            AppendAttr(X, "ReqID", std::to_string(ReqID));
            AppendAttr(X, "Status", Delivered ? "2" : "5");
            AppendAttr(X, "StatText", Delivered ? "Delivered" : "Failed: no address");
            X += "/>";
            AppendXmlEscaped(R, X, false);
        } else if (Op == "GetSMSReply") {
            if (I % kReplyEvery == 0)
                AppendXmlEscaped(R, "Reply to " + std::string(Text(kSimReference)), false);
        } else {
            const std::string Id = std::to_string(ReqID);
            X = "<RuleProcLog><RuleProc><MsgID>" + Id + "</MsgID><Rule>Route</Rule><Prot>" +
                Esc(Protocol) + "</Prot><Gened>true</Gened><LogTxt>Routed to " + Esc(Protocol) +
                "</LogTxt><ProcTime>" + RecTime + "</ProcTime></RuleProc><RuleProc><MsgID>" + Id +
                "</MsgID><Rule>Deliver</Rule><Prot>" + Esc(Protocol) +
                "</Prot><Gened>false</Gened><LogTxt>" +
                (Delivered ? "Delivered to " + Esc(Address) : std::string("No address")) +
                "</LogTxt><ProcTime>" + RecTime + "</ProcTime></RuleProc></RuleProcLog><ReqID>" +
                Id + "</ReqID><RecTime>" + RecTime + "</RecTime><Status>" +
                (Delivered ? "2" : "5") + "</Status>";
            if (Op == "GetRequestLog")
                AppendCDATAEscaped(R, "<RequestLog xmlns=\"" + std::string(kServiceNs) + "\">" + X +
                                          "</RequestLog>");
            else
                R += X;
        }
    } else {
        throw TSimFault("Operation " + Op + " is not supported by the simulator");
    }
}

void TSimGateway::Send(std::string_view XMLStream, bool Compressed, TSimHttpResponse& Out) {
    if (Compressed) throw TSimFault("Compressed batches are not supported", "soap:Client");
    const std::string RecTime = Now();
    std::unique_lock<std::mutex> Lock(Mutex_);
    // Read in one pass straight into the store; a document outside the plain form the SDK writes
    // goes to the full reader, which also words any refusal.
    size_t First = Messages_.Size();
    if (!Messages_.AddBatchXml(XMLStream, RecTimeIndex(RecTime))) {
        Lock.unlock();
        TBatch Batch;
        try {
            Batch = ReadBatchXml(std::string(XMLStream));
        } catch (const std::exception& E) {
            throw TSimFault(std::string("Invalid batch: ") + E.what(), "soap:Client");
        }
        Lock.lock();
        First = Messages_.Size();
        Messages_.AddBatch(Batch, RecTimeIndex(RecTime));
    }
    TBatchRecord& B = Batches_.emplace_back();
    B.BatchID = NextBatchID_++;
    B.BatchNo = "B" + std::to_string(B.BatchID);
    B.RecTime = RecTime;
    B.First = First;
    B.Count = Messages_.Size() - First;
    Queue(First);
    // Made while it is sent: a batch of a million messages answers with hundreds of megabytes.
    auto Result = std::make_shared<TSendResult>(B.First, B.Count, B.RecTime, B.BatchID, B.BatchNo);
    Out.ProducedBytes = Result->Start(Messages_);
    Out.Produce = [this, Result] {
        std::lock_guard<std::mutex> Lock(Mutex_);
        return Result->Next(Messages_);
    };
}

uint32_t TSimGateway::RecTimeIndex(const std::string& RecTime) {
    if (RecTimes_.empty() || RecTimes_.back() != RecTime) RecTimes_.push_back(RecTime);
    return uint32_t(RecTimes_.size() - 1);
}

void TSimGateway::Queue(size_t First) {
    for (size_t I = First; I < Messages_.Size(); ++I) {
        PendingStatus_.push_back(uint32_t(I));
        if (I % kReplyEvery == 0) PendingReplies_.push_back(uint32_t(I));
    }
}

std::vector<uint32_t> TSimGateway::TakePending(std::vector<uint32_t>& Pending,
                                               const std::string& ClientApp) {
    std::vector<uint32_t> Taken, Keep;
    for (uint32_t I : Pending)
        (ClientApp.empty() || Messages_.Texts(I)[kSimBatchName] == ClientApp ? Taken : Keep)
            .push_back(I);
    Pending.swap(Keep);
    return Taken;
}

std::string TSimGateway::BatchInfoXml(const TBatchRecord& Batch) const {
    TBatchInfoReply Reply;
    Reply.RecTime = Batch.RecTime;
    Reply.BatchID = Batch.BatchID;
    Reply.BatchNo = Batch.BatchNo;
    Reply.Items.resize(Batch.Count);
    for (size_t K = 0; K < Batch.Count; ++K) {
        const size_t I = Batch.First + K;
        const TSimTexts Texts = Messages_.Texts(I);
        TBatchInfoItem& Item = Reply.Items[K];
        Item.RcptCellNo = Texts[kSimCellNo];
        Item.RcptEmail = Texts[kSimEmail];
        Item.RcptFaxNo = Texts[kSimFaxNo];
        Item.ReqID = ReqIDOf(I);
        Item.Ref = Texts[kSimReference];
    }
    return WriteBatchInfoXml(Reply);
}

void TSimGateway::OSStatus(const std::string& ClientApp, std::string& Out) {
    std::lock_guard<std::mutex> Lock(Mutex_);
    if (auto Raw = TakeOnce(NextOSStatus_)) {
        AppendXmlEscaped(Out, *Raw, false);
        return;
    }
    std::string X = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<VexoMessageStatusList>";
    for (uint32_t I : TakePending(PendingStatus_, ClientApp)) {
        const TSimTexts Texts = Messages_.Texts(I);
        const std::string_view Address = SimAddress(Texts);
        const bool Delivered = !Address.empty();
        const std::string ReqID = std::to_string(ReqIDOf(I));
        X += "<MsgStat";
        AppendAttr(X, "StatTime", RecTimes_[Messages_.Tag(I)]);
        AppendAttr(X, "StatText", Delivered ? "Delivered" : "Failed: no address");
        AppendAttr(X, "Status", Delivered ? "2" : "5");
        X += "><MsgIdent";
        AppendAttr(X, "MsgID", ReqID);
        AppendAttr(X, "ReqID", ReqID);
        AppendAttr(X, "Ref", Texts[kSimReference]);
        AppendAttr(X, "Prot", Texts[kSimProtocol]);
        AppendAttr(X, "Rcpt", Address);
        AppendAttr(X, "ClientApp", Texts[kSimBatchName]);
        X += "/></MsgStat>";
    }
    X += "</VexoMessageStatusList>";
    AppendCDATAEscaped(Out, X);
}

void TSimGateway::OSReplies(const std::string& ClientApp, std::string& Out) {
    std::lock_guard<std::mutex> Lock(Mutex_);
    if (auto Raw = TakeOnce(NextOSReplies_)) {
        AppendXmlEscaped(Out, *Raw, false);
        return;
    }
    const std::string RecTime = Now();
    std::string X = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<VexoReplyList>";
    for (uint32_t I : TakePending(PendingReplies_, ClientApp)) {
        // Replies come from the handset, which the network names in international form.
        const TSimTexts Texts = Messages_.Texts(I);
        std::string Originator(SimAddress(Texts));
        if (Originator.size() > 1 && Originator[0] == '0' &&
            Originator.find_first_not_of("0123456789") == std::string::npos)
            Originator = "27" + Originator.substr(1);
        const std::string ReqID = std::to_string(ReqIDOf(I));
        X += "<ReplyDet";
        AppendAttr(X, "Prot", Texts[kSimProtocol]);
        AppendAttr(X, "ReplyMsg", "Reply to " + std::string(Texts[kSimReference]));
        AppendAttr(X, "Seq", std::to_string(++ReplySeq_));
        AppendAttr(X, "RecTime", RecTime);
        AppendAttr(X, "Originator", Originator);
        X += "><MsgIdent";
        AppendAttr(X, "MsgID", ReqID);
        AppendAttr(X, "ReqID", ReqID);
        AppendAttr(X, "Ref", Texts[kSimReference]);
        AppendAttr(X, "ClientApp", Texts[kSimBatchName]);
        X += "/></ReplyDet>";
    }
    X += "</VexoReplyList>";
    AppendCDATAEscaped(Out, X);
}

std::string TSimGateway::SetFault(const std::string& Operation, int Count, const std::string& Kind,
                                  int DelayMs) {
    if (Operation != "*" && !FindOp(Operation)) return "unknown operation '" + Operation + "'";
    if (!kFaultKinds.count(Kind)) return "unknown kind '" + Kind + "'";
    if (Count < 0) return "count must not be negative";
    if (DelayMs < 0 || DelayMs > kMaxDelayMs) return "ms out of range";
    std::lock_guard<std::mutex> Lock(Mutex_);
    if (Count == 0)
        Faults_.erase(Operation);
    else
        Faults_[Operation] = TFault{Kind, Count, DelayMs};
    return "";
}

std::string TSimGateway::SetRawReply(const std::string& Operation, int Status,
                                     const std::string& ContentType, const std::string& Body) {
    if (Operation != "*" && !FindOp(Operation)) return "unknown operation '" + Operation + "'";
    if (Status < 200 || Status > 599) return "status out of range";
    std::lock_guard<std::mutex> Lock(Mutex_);
    TSimHttpResponse& R = RawReplies_[Operation];
    R.Status = Status;
    R.ContentType = ContentType;
    R.Body = Body;
    return "";
}

void TSimGateway::SetNextOSStatus(const std::string& Text) {
    std::lock_guard<std::mutex> Lock(Mutex_);
    NextOSStatus_ = Text;
}

void TSimGateway::SetNextOSReplies(const std::string& Text) {
    std::lock_guard<std::mutex> Lock(Mutex_);
    NextOSReplies_ = Text;
}

std::string TSimGateway::MessagesCsv() const {
    std::lock_guard<std::mutex> Lock(Mutex_);
    std::string Out;
    for (size_t I = 0; I < Messages_.Size(); ++I) {
        const TSimTexts Texts = Messages_.Texts(I);
        Out += std::to_string(ReqIDOf(I));
        for (std::string_view F : {Texts[kSimBatchName], Texts[kSimProtocol], SimAddress(Texts),
                                   Texts[kSimReference], Texts[kSimMessageType], Texts[kSimText]}) {
            Out += ',';
            AppendCsvField(Out, F);
        }
        Out += '\n';
    }
    return Out;
}

std::string TSimGateway::RequestsText(size_t Count) const {
    std::lock_guard<std::mutex> Lock(Mutex_);
    std::string Out;
    const size_t From = Requests_.size() > Count ? Requests_.size() - Count : 0;
    for (size_t I = From; I < Requests_.size(); ++I) {
        const TSimHttpRequest& R = Requests_[I];
        Out += "#REQUEST " + std::to_string(R.Body.size()) + "\n";
        Out += "Method: " + R.Method + "\nPath: " + R.Path + "\nHost: " + R.Host +
               "\nSOAPAction: " + R.SoapAction + "\nContent-Type: " + R.ContentType + "\n\n";
        Out += R.Body;
        Out += '\n';
    }
    return Out;
}

TSimHttpResponse TSimGateway::Description() const {
    // A service description sufficient to bind a client: messages, port type, binding and the
    // service address.
    std::string W =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<definitions "
        "xmlns=\"http://schemas.xmlsoap.org/wsdl/\" "
        "xmlns:soap=\"http://schemas.xmlsoap.org/wsdl/soap/\" "
        "xmlns:s=\"http://www.w3.org/2001/XMLSchema\" xmlns:tns=\"";
    W += kServiceNs;
    W += "\" targetNamespace=\"";
    W += kServiceNs;
    W += "\" name=\"IVexoWS\">\n<types><s:schema elementFormDefault=\"qualified\" "
         "targetNamespace=\"";
    W += kServiceNs;
    W += "\">\n";
    auto XsdType = [](char K) {
        return K == 'l'   ? "s:long"
               : K == 'b' ? "s:boolean"
               : K == 'B' ? "tns:BatchInfo"
               : K == 'R' ? "tns:RequestLog"
                          : "s:string";
    };
    for (const auto& Op : Operations()) {
        W += "<s:element name=\"" + std::string(Op.Name) + "\"><s:complexType><s:sequence>";
        for (const auto& P : Op.Params)
            W += "<s:element name=\"" + std::string(P.first) + "\" type=\"" + XsdType(P.second) +
                 "\"/>";
        W += "</s:sequence></s:complexType></s:element>\n<s:element name=\"" +
             std::string(Op.Name) + "Response\"><s:complexType><s:sequence><s:element name=\"" +
             Op.Name + "Result\" type=\"" + XsdType(Op.Result) +
             "\"/></s:sequence></s:complexType></s:element>\n";
    }
    W += kTypesXsd;
    W += "</s:schema></types>\n";
    for (const auto& Op : Operations()) {
        const std::string N = Op.Name;
        W += "<message name=\"" + N + "SoapIn\"><part name=\"parameters\" element=\"tns:" + N +
             "\"/></message>\n<message name=\"" + N +
             "SoapOut\"><part name=\"parameters\" element=\"tns:" + N + "Response\"/></message>\n";
    }
    W += "<portType name=\"IVexoWSSoap\">\n";
    for (const auto& Op : Operations()) {
        const std::string N = Op.Name;
        W += "<operation name=\"" + N + "\"><input message=\"tns:" + N +
             "SoapIn\"/><output message=\"tns:" + N + "SoapOut\"/></operation>\n";
    }
    W += "</portType>\n<binding name=\"IVexoWSSoap\" type=\"tns:IVexoWSSoap\"><soap:binding "
         "transport=\"http://schemas.xmlsoap.org/soap/http\" style=\"document\"/>\n";
    for (const auto& Op : Operations()) {
        const std::string N = Op.Name;
        W += "<operation name=\"" + N + "\"><soap:operation soapAction=\"" + kActionPrefix + N +
             "\" style=\"document\"/><input><soap:body use=\"literal\"/></input><output><soap:body "
             "use=\"literal\"/></output></operation>\n";
    }
    W += "</binding>\n<service name=\"IVexoWS\"><port name=\"IVexoWSSoap\" "
         "binding=\"tns:IVexoWSSoap\"><soap:address location=\"" +
         BaseUrl_ + kServicePath + "\"/></port></service>\n</definitions>\n";
    TSimHttpResponse R;
    R.Body = std::move(W);
    return R;
}
