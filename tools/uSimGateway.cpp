#include "tools/uSimGateway.h"

#include <cctype>
#include <charconv>
#include <chrono>
#include <cstring>
#include <ctime>
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

std::string Esc(const std::string& Value) {
    std::string Out;
    AppendXmlEscaped(Out, Value, false);
    return Out;
}

void AppendAttr(std::string& Out, const char* Name, const std::string& Value) {
    Out += ' ';
    Out += Name;
    Out += "=\"";
    AppendXmlEscaped(Out, Value, true);
    Out += '"';
}

// The way the gateway hands out documents: inside a CDATA section, split where the text itself
// holds the section's end marker.
std::string WrapCDATA(const std::string& Xml) {
    std::string Out = "<![CDATA[";
    Out.reserve(Xml.size() + 16);
    size_t From = 0;
    for (size_t At; (At = Xml.find("]]>", From)) != std::string::npos; From = At + 3) {
        Out.append(Xml, From, At - From);
        Out += "]]]]><![CDATA[>";
    }
    Out.append(Xml, From, std::string::npos);
    Out += "]]>";
    return Out;
}

std::string CsvField(const std::string& Value) {
    std::string Out;
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
    return Out;
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

std::string TextOf(pugi::xml_node Node) {
    std::string Out;
    for (pugi::xml_node N = Node.first_child(); N; N = N.next_sibling()) {
        if (N.type() == pugi::node_pcdata || N.type() == pugi::node_cdata)
            Out += N.value();
        else if (N.type() == pugi::node_element)
            throw TSimFault(
                "Element " + std::string(N.name()) + " is not allowed inside " + Node.name(),
                "soap:Client");
    }
    return Out;
}

bool ParseInt64(const std::string& Text, int64_t& Value) {
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

std::string EnvelopeAround(const std::string& BodyContent) {
    std::string Out;
    Out.reserve(BodyContent.size() + 300);
    Out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"";
    Out += kEnvelopeNs;
    Out += "\"><SOAP-ENV:Body>";
    Out += BodyContent;
    Out += "</SOAP-ENV:Body></SOAP-ENV:Envelope>";
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
    std::vector<std::string> Args;  // in declared order, as received
    const std::string& Arg(size_t I) const { return Args.at(I); }
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
      BaseUrl_(std::move(BaseUrl)),
      NextReqID_(kFirstReqID) {}

TSimHttpResponse TSimGateway::HandleSoap(const TSimHttpRequest& Request) {
    {
        std::lock_guard<std::mutex> Lock(Mutex_);
        if (Requests_.size() >= kMaxLoggedRequests) Requests_.erase(Requests_.begin());
        Requests_.push_back({Request.Method, Request.Path, Request.Host, Request.SoapAction,
                             Request.ContentType, Request.Body.substr(0, kMaxLoggedBodyBytes)});
    }
    pugi::xml_document Doc;
    pugi::xml_parse_result Parsed = Doc.load_buffer(Request.Body.data(), Request.Body.size());
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
        std::string Value;
        try {
            Value = TextOf(N);
        } catch (const TSimFault& F) {
            return FaultResponse(F.FaultCode, F.what());
        }
        int64_t Number = 0;
        const char Kind = Call.Op->Params[Index].second;
        if ((Kind == 'l' && !ParseInt64(Value, Number)) ||
            (Kind == 'b' && Value != "true" && Value != "false"))
            return FaultResponse("soap:Client", "Parameter " + Name + " of " + OpName +
                                                    " has an invalid value '" + Value + "'");
        Call.Args.push_back(std::move(Value));
        ++Index;
    }
    if (Index != Call.Op->Params.size())
        return FaultResponse(
            "soap:Client",
            "Parameter " + std::string(Call.Op->Params[Index].first) + " missing in " + OpName);

    try {
        Out = Dispatch(Call);
    } catch (const TSimFault& F) {
        return FaultResponse(F.FaultCode, F.what());
    }
    // Dispatch leaves the result's content in Body; put it into the response element.
    if (Fault.Kind == "renamed") {
        Out.Body =
            "<" + Response + "><Unexpected>" + Out.Body + "</Unexpected></" + OpName + "Response>";
    } else if (Fault.Kind == "multichild") {
        Out.Body = "<" + Response + "><Info>extra</Info><return>" + Out.Body +
                   "</return><Extra>more</Extra></" + OpName + "Response>";
    } else {
        std::string Wrapped;
        Wrapped.reserve(Out.Body.size() + 2 * Result.size() + Response.size() + 32);
        Wrapped += "<" + Response + "><" + Result + ">";
        Wrapped += Out.Body;
        Wrapped += "</" + Result + "></" + OpName + "Response>";
        Out.Body = std::move(Wrapped);
    }
    Out.Body = EnvelopeAround(Out.Body);
    return Out;
}

void TSimGateway::CheckToken(const std::string& Token) const {
    std::lock_guard<std::mutex> Lock(Mutex_);
    if (!Tokens_.count(Token)) throw TSimFault("Invalid or expired token", "soap:Client");
}

void TSimGateway::CheckCredentials(const std::string& Username, const std::string& Password) const {
    if (!Username_.empty() && (Username != Username_ || Password != Password_))
        throw TSimFault("Login failed: invalid username or password", "soap:Client");
}

const TSimGateway::TMessage& TSimGateway::FindMessage(int64_t ReqID) const {
    if (ReqID < kFirstReqID || ReqID >= NextReqID_)
        throw TSimFault("Unknown message " + std::to_string(ReqID), "soap:Client");
    return Messages_[size_t(ReqID - kFirstReqID)];
}

TSimHttpResponse TSimGateway::Dispatch(TCall& Call) {
    const std::string Op = Call.Op->Name;
    TSimHttpResponse Out;
    std::string& R = Out.Body;
    if (Op == "Login" || Op == "SendNS" || Op == "SendSMSMessageNS") {
        CheckCredentials(Call.Arg(0), Call.Arg(1));
    } else if (Call.Op->Params[0].first == std::string("Token")) {
        CheckToken(Call.Arg(0));
    }
    if (Op == "Login") {
        std::lock_guard<std::mutex> Lock(Mutex_);
        std::ostringstream Token;
        Token << "SIM-" << ++TokenCounter_ << '-' << std::hex
              << (std::chrono::steady_clock::now().time_since_epoch().count() & 0xffffff);
        Tokens_.insert(Token.str());
        R = Esc(Token.str());
    } else if (Op == "Logout") {
        std::lock_guard<std::mutex> Lock(Mutex_);
        Tokens_.erase(Call.Arg(0));
        R = "0";
    } else if (Op == "Test") {
        int64_t Chars = 0;
        for (unsigned char C : Call.Arg(0)) Chars += (C & 0xC0) != 0x80;
        R = std::to_string(Chars);
    } else if (Op == "GetStatus") {
        R = "1";
    } else if (Op == "Send") {
        R = Esc(WrapCDATA(Send(Call.Arg(1), Call.Bool(2))));
    } else if (Op == "SendNS") {
        R = Esc(WrapCDATA(Send(Call.Arg(2), Call.Bool(3))));
    } else if (Op == "SendSMSMessage" || Op == "SendSMSMessageNS") {
        const size_t A = Op == "SendSMSMessage" ? 1 : 2;  // first argument after the logon
        TMessage M;
        M.Reference = Call.Arg(A);
        M.CellNo = M.Address = Call.Arg(A + 1);
        M.MessageType = Call.Arg(A + 2);
        M.Text = Call.Arg(A + 3);
        M.Protocol = "SMS";
        M.RecTime = Now();
        std::lock_guard<std::mutex> Lock(Mutex_);
        R = std::to_string(Store(std::move(M)).ReqID);
    } else if (Op == "GetOSStatus") {
        R = Esc(OSStatus(Call.Arg(1)));
    } else if (Op == "GetOSReplies") {
        R = Esc(OSReplies(Call.Arg(1)));
    } else if (Op == "GetBatchInfo" || Op == "GetBatchInfoObject") {
        std::string Xml;
        {
            std::lock_guard<std::mutex> Lock(Mutex_);
            for (const auto& B : Batches_)
                if (B.BatchNo == Call.Arg(1)) Xml = BatchInfoXml(B);
        }
        if (Xml.empty()) throw TSimFault("Unknown batch " + Call.Arg(1), "soap:Client");
        if (Op == "GetBatchInfo") {
            R = Esc(WrapCDATA(Xml));
        } else {
            // The document's members become the result element's children.
            pugi::xml_document Doc;
            Doc.load_string(Xml.c_str());
            std::ostringstream Members;
            for (pugi::xml_node N : Doc.document_element().children())
                N.print(Members, "", pugi::format_raw);
            R = Members.str();
        }
    } else if (Op == "GetMessageDetail" || Op == "GetMessageStatus" || Op == "GetSMSReply" ||
               Op == "GetRequestLog" || Op == "GetRequestLogObject") {
        int64_t ReqID = 0;
        if (Op == "GetSMSReply") {
            if (!ParseInt64(Call.Arg(1), ReqID))
                throw TSimFault("MessageID '" + Call.Arg(1) + "' is not a number", "soap:Client");
        } else {
            ReqID = Call.Int(1);
        }
        std::lock_guard<std::mutex> Lock(Mutex_);
        const TMessage& M = FindMessage(ReqID);
        const bool Delivered = !M.Address.empty();
        std::string X;
        if (Op == "GetMessageDetail") {
            X = "<MessageDetail";
            AppendAttr(X, "ReqID", std::to_string(M.ReqID));
            AppendAttr(X, "BatchName", M.BatchName);
            AppendAttr(X, "Protocol", M.Protocol);
            AppendAttr(X, "Address", M.Address);
            AppendAttr(X, "Reference", M.Reference);
            AppendAttr(X, "MessageType", M.MessageType);
            AppendAttr(X, "Text", M.Text);
            X += "/>";
            R = Esc(X);
        } else if (Op == "GetMessageStatus") {
            X = "<MessageStatus";
            AppendAttr(X, "ReqID", std::to_string(M.ReqID));
            AppendAttr(X, "Status", Delivered ? "2" : "5");
            AppendAttr(X, "StatText", Delivered ? "Delivered" : "Failed: no address");
            X += "/>";
            R = Esc(X);
        } else if (Op == "GetSMSReply") {
            const size_t Ordinal = size_t(M.ReqID - kFirstReqID);
            R = Ordinal % kReplyEvery == 0 ? Esc("Reply to " + M.Reference) : "";
        } else {
            const std::string Id = std::to_string(M.ReqID);
            X = "<RuleProcLog><RuleProc><MsgID>" + Id + "</MsgID><Rule>Route</Rule><Prot>" +
                Esc(M.Protocol) + "</Prot><Gened>true</Gened><LogTxt>Routed to " + Esc(M.Protocol) +
                "</LogTxt><ProcTime>" + M.RecTime + "</ProcTime></RuleProc><RuleProc><MsgID>" + Id +
                "</MsgID><Rule>Deliver</Rule><Prot>" + Esc(M.Protocol) +
                "</Prot><Gened>false</Gened><LogTxt>" +
                (Delivered ? "Delivered to " + Esc(M.Address) : std::string("No address")) +
                "</LogTxt><ProcTime>" + M.RecTime + "</ProcTime></RuleProc></RuleProcLog><ReqID>" +
                Id + "</ReqID><RecTime>" + M.RecTime + "</RecTime><Status>" +
                (Delivered ? "2" : "5") + "</Status>";
            R = Op == "GetRequestLog"
                    ? Esc(WrapCDATA("<RequestLog xmlns=\"" + std::string(kServiceNs) + "\">" + X +
                                    "</RequestLog>"))
                    : X;
        }
    } else {
        throw TSimFault("Operation " + Op + " is not supported by the simulator");
    }
    return Out;
}

std::string TSimGateway::Send(const std::string& XMLStream, bool Compressed) {
    if (Compressed) throw TSimFault("Compressed batches are not supported", "soap:Client");
    TBatch Batch;
    try {
        Batch = ReadBatchXml(XMLStream);
    } catch (const std::exception& E) {
        throw TSimFault(std::string("Invalid batch: ") + E.what(), "soap:Client");
    }
    const std::string RecTime = Now();
    std::vector<TMessage> New;
    New.reserve(Batch.Messages.size());
    for (auto& Request : Batch.Messages) {
        TMessage M;
        M.BatchName = std::move(Request.BatchName);
        M.Protocol = std::move(Request.Override.ProtocolName);
        M.Reference = std::move(Request.Reference);
        M.MessageType = std::move(Request.Override.MessageType);
        M.Text = std::move(Request.Override.MessageText);
        if (!Request.Recipients.empty()) {
            M.CellNo = Request.Recipients[0].CellNo;
            M.Email = Request.Recipients[0].Email;
            M.FaxNo = Request.Recipients[0].FaxNo;
        }
        std::string Upper = M.Protocol;
        for (char& C : Upper) C = char(std::toupper(static_cast<unsigned char>(C)));
        M.Address = Upper == "FAX" ? M.FaxNo : Upper == "EMAIL" ? M.Email : M.CellNo;
        for (const std::string* Any : {&M.CellNo, &M.Email, &M.FaxNo})
            if (M.Address.empty()) M.Address = *Any;
        M.RecTime = RecTime;
        New.push_back(std::move(M));
    }
    std::lock_guard<std::mutex> Lock(Mutex_);
    TBatchRecord& B = Batches_.emplace_back();
    B.BatchID = NextBatchID_++;
    B.BatchNo = "B" + std::to_string(B.BatchID);
    B.RecTime = RecTime;
    B.First = Messages_.size();
    B.Count = New.size();
    for (auto& M : New) {
        M.BatchNo = B.BatchNo;
        Store(std::move(M));
    }
    return BatchInfoXml(B);
}

const TSimGateway::TMessage& TSimGateway::Store(TMessage M) {
    M.ReqID = NextReqID_++;
    PendingStatus_.push_back(Messages_.size());
    if (Messages_.size() % kReplyEvery == 0) PendingReplies_.push_back(Messages_.size());
    Messages_.push_back(std::move(M));
    return Messages_.back();
}

std::vector<size_t> TSimGateway::TakePending(std::vector<size_t>& Pending,
                                             const std::string& ClientApp) {
    std::vector<size_t> Taken, Keep;
    for (size_t I : Pending)
        (ClientApp.empty() || Messages_[I].BatchName == ClientApp ? Taken : Keep).push_back(I);
    Pending.swap(Keep);
    return Taken;
}

std::string TSimGateway::BatchInfoXml(const TBatchRecord& Batch) const {
    TBatchInfoReply Reply;
    Reply.RecTime = Batch.RecTime;
    Reply.BatchID = Batch.BatchID;
    Reply.BatchNo = Batch.BatchNo;
    Reply.Items.reserve(Batch.Count);
    for (size_t I = Batch.First; I < Batch.First + Batch.Count; ++I) {
        const TMessage& M = Messages_[I];
        TBatchInfoItem Item;
        Item.RcptCellNo = M.CellNo;
        Item.RcptEmail = M.Email;
        Item.RcptFaxNo = M.FaxNo;
        Item.ReqID = M.ReqID;
        Item.Ref = M.Reference;
        Reply.Items.push_back(std::move(Item));
    }
    return WriteBatchInfoXml(Reply);
}

std::string TSimGateway::OSStatus(const std::string& ClientApp) {
    std::lock_guard<std::mutex> Lock(Mutex_);
    if (auto Raw = TakeOnce(NextOSStatus_)) return *Raw;
    std::string X = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<VexoMessageStatusList>";
    for (size_t I : TakePending(PendingStatus_, ClientApp)) {
        const TMessage& M = Messages_[I];
        const bool Delivered = !M.Address.empty();
        X += "<MsgStat";
        AppendAttr(X, "StatTime", M.RecTime);
        AppendAttr(X, "StatText", Delivered ? "Delivered" : "Failed: no address");
        AppendAttr(X, "Status", Delivered ? "2" : "5");
        X += "><MsgIdent";
        AppendAttr(X, "MsgID", std::to_string(M.ReqID));
        AppendAttr(X, "ReqID", std::to_string(M.ReqID));
        AppendAttr(X, "Ref", M.Reference);
        AppendAttr(X, "Prot", M.Protocol);
        AppendAttr(X, "Rcpt", M.Address);
        AppendAttr(X, "ClientApp", M.BatchName);
        X += "/></MsgStat>";
    }
    X += "</VexoMessageStatusList>";
    return WrapCDATA(X);
}

std::string TSimGateway::OSReplies(const std::string& ClientApp) {
    std::lock_guard<std::mutex> Lock(Mutex_);
    if (auto Raw = TakeOnce(NextOSReplies_)) return *Raw;
    const std::string RecTime = Now();
    std::string X = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<VexoReplyList>";
    for (size_t I : TakePending(PendingReplies_, ClientApp)) {
        const TMessage& M = Messages_[I];
        // Replies come from the handset, which the network names in international form.
        std::string Originator = M.Address;
        if (Originator.size() > 1 && Originator[0] == '0' &&
            Originator.find_first_not_of("0123456789") == std::string::npos)
            Originator = "27" + Originator.substr(1);
        X += "<ReplyDet";
        AppendAttr(X, "Prot", M.Protocol);
        AppendAttr(X, "ReplyMsg", "Reply to " + M.Reference);
        AppendAttr(X, "Seq", std::to_string(++ReplySeq_));
        AppendAttr(X, "RecTime", RecTime);
        AppendAttr(X, "Originator", Originator);
        X += "><MsgIdent";
        AppendAttr(X, "MsgID", std::to_string(M.ReqID));
        AppendAttr(X, "ReqID", std::to_string(M.ReqID));
        AppendAttr(X, "Ref", M.Reference);
        AppendAttr(X, "ClientApp", M.BatchName);
        X += "/></ReplyDet>";
    }
    X += "</VexoReplyList>";
    return WrapCDATA(X);
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
    for (const TMessage& M : Messages_) {
        Out += std::to_string(M.ReqID);
        for (const std::string* F :
             {&M.BatchName, &M.Protocol, &M.Address, &M.Reference, &M.MessageType, &M.Text}) {
            Out += ',';
            Out += CsvField(*F);
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
