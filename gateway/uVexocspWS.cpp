#include "gateway/uVexocspWS.h"

#include <curl/curl.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <pugixml.hpp>
#include <string_view>

#include "platform/Heartbeat.h"
#include "platform/Memory.h"
#include "support/Util.h"
#include "support/uXmlText.h"

const char* const kVexoNamespace = "http://vexo.gateway";
const char* const kVexoDefaultURL = "http://localhost/csp/vexo/Vexo.Webservice.cls";
const char* const kVexoDefaultWSDL = "http://localhost/csp/vexo/Vexo.Webservice.CLS?WSDL=1";
const char* const kSoapEnvelopeNamespace = "http://schemas.xmlsoap.org/soap/envelope/";

namespace {

constexpr long kConnectTimeoutSeconds = 30;
constexpr long kStallTimeoutSeconds = 120;
// A reply larger than this is not a gateway answer; refuse it rather than exhaust memory. The
// same limit holds for the body and the document read from it together. A call that sent more
// than half of it (a part of a million messages) may have an answer as large as twice its
// request: the identifiers of what it sent.
constexpr size_t kMaxReplyBytes = size_t(256) << 20;
constexpr size_t kReplyBytesPerRequestByte = 2;
// The limit of the reply this thread is receiving or reading now.
thread_local size_t tReplyLimit = kMaxReplyBytes;
// How much of an unexpected response element a failure message quotes.
constexpr size_t kMaxQuotedXml = 2000;
const char* const kServiceName = "IVexoWS";
const char* const kPortName = "IVexoWSSoap";
const char* const kUserAgent = "BrovaCSVSender";

TSoapRegistration BuildRegistration() {
    const TSoapParamInfo Token{"Token", "string"};
    auto S = [](const char* Name) { return TSoapParamInfo{Name, "string"}; };
    auto L = [](const char* Name) { return TSoapParamInfo{Name, "long"}; };
    auto B = [](const char* Name) { return TSoapParamInfo{Name, "boolean"}; };
    TSoapRegistration R;
    R.InterfaceName = "IVexoWSSoap";
    R.Namespace = kVexoNamespace;
    R.Encoding = "UTF-8";
    R.ActionPattern = std::string(kVexoNamespace) + "/Vexo.Webservice.%operationName%";
    R.DocumentStyle = true;
    R.Operations = {
        {"GetBatchInfo", {Token, S("BatchNo")}, "string"},
        {"GetBatchInfoObject", {Token, S("BatchNo")}, "BatchInfo"},
        {"GetMOMessagesForDateRange", {Token, S("StartDate"), S("EndDate")}, "string"},
        {"GetMessageDetail", {Token, L("MessageID")}, "string"},
        {"GetMessageStatus", {Token, L("MessageID")}, "string"},
        {"GetOSMOMessages", {Token}, "string"},
        {"GetOSReplies", {Token, S("ClientApp")}, "string"},
        {"GetOSSMSReplies", {Token}, "string"},
        {"GetOSSMSStatus", {Token}, "string"},
        {"GetOSStatus", {Token, S("ClientApp")}, "string"},
        {"GetRequestLog", {Token, L("RequestID")}, "string"},
        {"GetRequestLogObject", {Token, L("RequestID")}, "RequestLog"},
        {"GetRequestMessages", {Token, L("RequestID")}, "string"},
        {"GetRuleMergeVars", {Token, S("ID")}, "string"},
        {"GetRules", {Token, S("LastUpdate")}, "string"},
        {"GetSMSReply", {Token, S("MessageID")}, "string"},
        {"GetStatus", {Token}, "long"},
        {"GetTemplateMergeVars", {Token, S("ID")}, "string"},
        {"GetTemplates", {Token, S("Protocol"), S("LastUpdate")}, "string"},
        {"Login", {S("Username"), S("Password")}, "string"},
        {"Logout", {Token}, "long"},
        {"Send", {Token, S("XMLStream"), B("Compressed")}, "string"},
        {"SendNS", {S("UserName"), S("Password"), S("XMLStream"), B("Compressed")}, "string"},
        {"SendSMSMessage",
         {Token, S("RefNo"), S("PhoneNo"), S("MsgType"), S("Message"), S("CostClass"),
          L("Priority")},
         "long"},
        {"SendSMSMessageNS",
         {S("Username"), S("Password"), S("RefNo"), S("PhoneNo"), S("MsgType"), S("Message"),
          S("CostClass"), L("Priority")},
         "long"},
        {"Test", {S("Testval")}, "long"},
    };
    R.Types = {
        {"Rcpt", "Rcpt", false, false},
        {"RqstIdent", "RqstIdent", false, false},
        {"ArrayOfRqstIdentRqstIdent", "ArrayOfRqstIdentRqstIdent", true, false},
        {"BatchInfo", "BatchInfo", false, false},
        {"RuleProcess", "RuleProcess", false, false},
        {"RuleProc", "RuleProc", true, false},
        {"ArrayOfRuleProcRuleProcess", "ArrayOfRuleProcRuleProcess", false, true},
        {"RequestLog", "RequestLog", false, false},
    };
    return R;
}

// While a reply is read on this thread, the memory its document may still take; null elsewhere,
// where no limit applies. A reply of millions of empty elements then fails instead of costing
// gigabytes.
thread_local size_t* tDocumentBudget = nullptr;

void* AllocateForDocument(size_t Size) {
    if (tDocumentBudget) {
        if (Size > *tDocumentBudget) return nullptr;  // the parser reports it as out of memory
        *tDocumentBudget -= Size;
    }
    return std::malloc(Size);
}

void FreeForDocument(void* Block) { std::free(Block); }

// Made before main runs, so every thread later only reads them. libcurl's global state is set
// up here too and never torn down: workers may still be inside a call when the process ends.
const bool kRegistered = [] {
    VexoWSRegistration();
    pugi::set_memory_management_functions(AllocateForDocument, FreeForDocument);
    curl_global_init(CURL_GLOBAL_DEFAULT);
    return true;
}();

// ---- text helpers ----

std::string LowerCase(std::string Text) {
    for (char& C : Text)
        if (C >= 'A' && C <= 'Z') C = char(C - 'A' + 'a');
    return Text;
}

bool HasHttpScheme(const std::string& Url) {
    const std::string Lower = LowerCase(Url.substr(0, 8));
    return Lower.rfind("http://", 0) == 0 || Lower.rfind("https://", 0) == 0;
}

void CheckScheme(const std::string& Url) {
    if (!HasHttpScheme(Url))
        throw ESOAPError("Invalid url '" + Url + "' - only supports 'http' and 'https' schemes");
}

std::string LocalName(const char* Name) {
    const char* Colon = std::strchr(Name, ':');
    return Colon ? Colon + 1 : Name;
}

std::string_view PrefixOf(const char* Name) {
    const char* Colon = std::strchr(Name, ':');
    return Colon ? std::string_view(Name, size_t(Colon - Name)) : std::string_view();
}

// The prefix an attribute declares ("" for the default namespace), or false when it is no
// namespace declaration.
bool DeclaredPrefix(pugi::xml_attribute A, std::string_view& Prefix) {
    const std::string_view Name = A.name();
    if (Name == "xmlns") {
        Prefix = {};
        return true;
    }
    if (Name.size() > 6 && Name.substr(0, 6) == "xmlns:") {
        Prefix = Name.substr(6);
        return true;
    }
    return false;
}

// The namespace declarations in scope inside one element, gathered once: an envelope may
// declare thousands, and looking each child's prefix up through its ancestors' attributes would
// cost their number for every child.
class TNsScope {
  public:
    TNsScope(pugi::xml_node Element, const TNsScope* Outer) : Outer_(Outer) {
        std::string_view Prefix;
        for (pugi::xml_attribute A = Element.first_attribute(); A; A = A.next_attribute())
            if (DeclaredPrefix(A, Prefix)) Decls_.emplace_back(Prefix, A.value());
        // The first of two declarations of one prefix counts, as a look-up by name finds it.
        std::stable_sort(Decls_.begin(), Decls_.end(),
                         [](const auto& X, const auto& Y) { return X.first < Y.first; });
        Decls_.erase(std::unique(Decls_.begin(), Decls_.end(),
                                 [](const auto& X, const auto& Y) { return X.first == Y.first; }),
                     Decls_.end());
    }

    std::string_view Lookup(std::string_view Prefix) const {
        auto At = std::lower_bound(Decls_.begin(), Decls_.end(), Prefix,
                                   [](const auto& D, std::string_view P) { return D.first < P; });
        if (At != Decls_.end() && At->first == Prefix) return At->second;
        return Outer_ ? Outer_->Lookup(Prefix) : std::string_view();
    }

    // The namespace of a child element of this scope: its own declaration, else this scope's.
    std::string_view NamespaceOf(pugi::xml_node Child) const {
        const std::string_view Prefix = PrefixOf(Child.name());
        std::string_view Declared;
        for (pugi::xml_attribute A = Child.first_attribute(); A; A = A.next_attribute())
            if (DeclaredPrefix(A, Declared) && Declared == Prefix) return A.value();
        return Lookup(Prefix);
    }

  private:
    std::vector<std::pair<std::string_view, std::string_view>> Decls_;  // by prefix
    const TNsScope* Outer_;
};

// Child (an element inside Scope) is the SOAP element of that local name.
bool IsSoapElement(pugi::xml_node Child, const TNsScope& Scope, const char* Local) {
    return Child.type() == pugi::node_element && LocalName(Child.name()) == Local &&
           Scope.NamespaceOf(Child) == kSoapEnvelopeNamespace;
}

pugi::xml_node FirstElement(pugi::xml_node Parent) {
    for (pugi::xml_node N = Parent.first_child(); N; N = N.next_sibling())
        if (N.type() == pugi::node_element) return N;
    return {};
}

pugi::xml_node ChildByLocalName(pugi::xml_node Parent, const char* Local) {
    for (pugi::xml_node N = Parent.first_child(); N; N = N.next_sibling())
        if (N.type() == pugi::node_element && LocalName(N.name()) == Local) return N;
    return {};
}

// All character data directly inside an element, CDATA sections included.
std::string TextOf(pugi::xml_node Node) {
    std::string Text;
    for (pugi::xml_node N = Node.first_child(); N; N = N.next_sibling())
        if (N.type() == pugi::node_pcdata || N.type() == pugi::node_cdata) Text += N.value();
    return Text;
}

// Keeps the first kMaxQuotedXml bytes of what is written to it and drops the rest.
class TQuoteWriter : public pugi::xml_writer {
  public:
    void write(const void* Data, size_t Size) override {
        if (Text.size() > kMaxQuotedXml) return;
        Text.append(static_cast<const char*>(Data),
                    std::min(Size, kMaxQuotedXml + 1 - Text.size()));
    }
    std::string Text;
};

std::string OuterXml(pugi::xml_node Node) {
    TQuoteWriter Out;
    Node.print(Out, "", pugi::format_raw);
    if (Out.Text.size() > kMaxQuotedXml) {
        Out.Text.resize(kMaxQuotedXml);
        Out.Text += "...";
    }
    return std::move(Out.Text);
}

int64_t ToInt64(const std::string& Raw) {
    const std::string Text = Trim(Raw);
    if (Text.empty()) return 0;
    int64_t Value = 0;
    const char* Begin = Text.data() + (Text[0] == '+' ? 1 : 0);
    // One sign only: after a "+", from_chars would still take a "-".
    const bool SecondSign = Begin != Text.data() && *Begin == '-';
    auto [End, Err] = std::from_chars(Begin, Text.data() + Text.size(), Value);
    if (SecondSign || Err != std::errc() || End != Text.data() + Text.size())
        throw ESOAPError("'" + Text + "' is not a valid integer value");
    return Value;
}

bool ToBoolean(const std::string& Raw) {
    const std::string Text = LowerCase(Trim(Raw));
    if (Text == "true" || Text == "1") return true;
    if (Text == "false" || Text == "0" || Text.empty()) return false;
    throw ESOAPError("'" + Trim(Raw) + "' is not a valid boolean value");
}

// ---- structured results, read member by member; absent members stay empty ----

std::string Member(pugi::xml_node Node, const char* Name) {
    return TextOf(ChildByLocalName(Node, Name));
}

std::unique_ptr<Rcpt> ReadRcpt(pugi::xml_node Node) {
    auto R = std::make_unique<Rcpt>();
    R->Name = Member(Node, "Name");
    R->CellNo = Member(Node, "CellNo");
    R->Email = Member(Node, "Email");
    R->FaxNo = Member(Node, "FaxNo");
    R->TelNo = Member(Node, "TelNo");
    R->MergeVars = Member(Node, "MergeVars");
    return R;
}

std::unique_ptr<BatchInfo> ReadBatchInfo(pugi::xml_node Node) {
    auto Info = std::make_unique<BatchInfo>();
    for (pugi::xml_node Item = ChildByLocalName(Node, "RqstList").first_child(); Item;
         Item = Item.next_sibling()) {
        if (Item.type() != pugi::node_element || LocalName(Item.name()) != "RqstIdent") continue;
        auto Ident = std::make_unique<RqstIdent>();
        if (pugi::xml_node R = ChildByLocalName(Item, "Rcpt")) Ident->Rcpt = ReadRcpt(R);
        Ident->ReqID = ToInt64(Member(Item, "ReqID"));
        Ident->Ref = Member(Item, "Ref");
        Info->RqstList.push_back(std::move(Ident));
    }
    Info->RecTime = Member(Node, "RecTime");
    Info->BatchID = ToInt64(Member(Node, "BatchID"));
    Info->BatchNo = Member(Node, "BatchNo");
    return Info;
}

std::unique_ptr<RequestLog> ReadRequestLog(pugi::xml_node Node) {
    auto Log = std::make_unique<RequestLog>();
    if (pugi::xml_node Procs = ChildByLocalName(Node, "RuleProcLog")) {
        Log->RuleProcLog = std::make_unique<ArrayOfRuleProcRuleProcess>();
        // Inline array: the items sit directly in RuleProcLog, without a wrapper of their own.
        for (pugi::xml_node Item = Procs.first_child(); Item; Item = Item.next_sibling()) {
            if (Item.type() != pugi::node_element || LocalName(Item.name()) != "RuleProc") continue;
            auto P = std::make_unique<RuleProcess>();
            P->MsgID = ToInt64(Member(Item, "MsgID"));
            P->Rule = Member(Item, "Rule");
            P->Prot = Member(Item, "Prot");
            P->Gened = ToBoolean(Member(Item, "Gened"));
            P->LogTxt = Member(Item, "LogTxt");
            P->ProcTime = Member(Item, "ProcTime");
            Log->RuleProcLog->RuleProc.push_back(std::move(P));
        }
    }
    Log->ReqID = ToInt64(Member(Node, "ReqID"));
    Log->RecTime = Member(Node, "RecTime");
    const int64_t Status = ToInt64(Member(Node, "Status"));
    if (Status < -128 || Status > 127)
        throw ESOAPError("'" + std::to_string(Status) + "' is not a valid byte value");
    Log->Status = int8_t(Status);
    return Log;
}

// ---- HTTP ----

struct TTransfer {
    TSoapHttpReply Reply;
    size_t Limit = kMaxReplyBytes;
    // Why a callback stopped the transfer; no exception may pass through libcurl.
    enum { kNone, kTooLarge, kOutOfMemory } Failure = kNone;
};

size_t OnBody(char* Data, size_t Size, size_t Count, void* User) noexcept {
    auto* T = static_cast<TTransfer*>(User);
    std::string& Body = T->Reply.Body;
    const size_t N = Size * Count;
    if (N > T->Limit - Body.size()) {
        T->Failure = TTransfer::kTooLarge;
        return 0;
    }
    try {
        // Grown as the bytes arrive (never from what the headers announce), in powers of two:
        // a string grows at least twofold, and so the last step lands on the cap exactly.
        if (Body.size() + N > Body.capacity()) {
            Body.reserve(std::min(T->Limit,
                                  std::bit_ceil(std::max(Body.size() + N, 2 * Body.capacity()))));
            PreferHugePages(Body.data(), Body.capacity());
        }
        Body.append(Data, N);
    } catch (...) {
        T->Failure = TTransfer::kOutOfMemory;
        return 0;
    }
    return N;
}

size_t OnHeader(char* Data, size_t Size, size_t Count, void* User) noexcept {
    auto* T = static_cast<TTransfer*>(User);
    const size_t N = Size * Count;
    try {
        const std::string Line = Trim(std::string(Data, N));
        if (Line.rfind("HTTP/", 0) == 0) {
            T->Reply.StatusLine = Line;
        } else if (LowerCase(Line.substr(0, 15)) == "content-length:") {
            // A reply announced as too large is refused before its first byte.
            const unsigned long long Length = std::strtoull(Line.c_str() + 15, nullptr, 10);
            if (Length > T->Limit) {
                T->Failure = TTransfer::kTooLarge;
                return 0;
            }
        }
    } catch (...) {
        T->Failure = TTransfer::kOutOfMemory;
        return 0;
    }
    return N;
}

// Called by libcurl while a transfer runs, also while it idles: a call on the service thread
// shows the watchdog that the gateway wait is alive.
int OnTransferProgress(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    ServiceThreadBeat();
    return 0;
}

// Lets a call on the service thread keep the watchdog fed while it waits on the gateway.
void ReportTransferProgress(CURL* H) {
    curl_easy_setopt(H, CURLOPT_XFERINFOFUNCTION, OnTransferProgress);
    curl_easy_setopt(H, CURLOPT_NOPROGRESS, 0L);
}

// Each thread keeps one easy handle between calls: its connection cache, and the TLS sessions in
// it, carry the thread's next calls, so a worker sends all its parts and retries over one
// connection while the gateway keeps it open. Cleaned up when the thread ends.
struct TThreadCurl {
    CURL* Handle = nullptr;
    bool InUse = false;
    ~TThreadCurl() {
        if (Handle) curl_easy_cleanup(Handle);
    }
};

thread_local TThreadCurl tCurl;

// The handle of one exchange: the thread's own, back in its default settings afterwards, or a
// fresh one for the thread's next call once a transfer failed, so that nothing of a broken
// transfer reaches the next attempt.
struct TCurlHandle {
    TCurlHandle() {
        if (tCurl.InUse) {
            H = curl_easy_init();
            return;
        }
        if (!tCurl.Handle) tCurl.Handle = curl_easy_init();
        H = tCurl.Handle;
        tCurl.InUse = Borrowed = true;
    }
    ~TCurlHandle() {
        if (Borrowed) {
            if (Failed) {
                curl_easy_cleanup(H);
                tCurl.Handle = nullptr;
            } else {
                curl_easy_reset(H);
            }
            tCurl.InUse = false;
        } else if (H) {
            curl_easy_cleanup(H);
        }
        curl_slist_free_all(Headers);
        curl_slist_free_all(ConnectTo);
    }
    CURL* H = nullptr;
    bool Borrowed = false;
    bool Failed = true;  // until the transfer ended well
    curl_slist* Headers = nullptr;
    curl_slist* ConnectTo = nullptr;
};

}  // namespace

// ---- registration ----

const TSoapRegistration& VexoWSRegistration() {
    static const TSoapRegistration Registration = BuildRegistration();
    return Registration;
}

const TSoapOperationInfo& TSoapRegistration::Operation(const std::string& Name) const {
    for (const auto& Op : Operations)
        if (Name == Op.Name) return Op;
    throw ESOAPError("Operation '" + Name + "' is not registered");
}

std::string TSoapRegistration::SoapAction(const std::string& OperationName) const {
    static const std::string kPlaceholder = "%operationName%";
    std::string Action = ActionPattern;
    const size_t At = Action.find(kPlaceholder);
    if (At != std::string::npos) Action.replace(At, kPlaceholder.size(), OperationName);
    return Action;
}

// ---- transport ----

TSoapHttpClient::TSoapHttpClient()
    : ConnectTimeoutSeconds(kConnectTimeoutSeconds), StallTimeoutSeconds(kStallTimeoutSeconds) {
    (void)kRegistered;
}

namespace {

TSoapHttpReply Exchange(const TSoapHttpClient& Client, const std::string& Url,
                        const std::string* SoapAction, const std::string* Envelope) {
    CheckScheme(Url);
    // Before the handle, so they outlive it: it points to both until it is reset.
    TTransfer T;
    T.Limit = tReplyLimit =
        std::max(kMaxReplyBytes, Envelope ? kReplyBytesPerRequestByte * Envelope->size() : 0);
    char ErrorText[CURL_ERROR_SIZE] = "";
    TCurlHandle C;
    if (!C.H) throw ESOAPError("Unable to create an HTTP client");
    curl_easy_setopt(C.H, CURLOPT_URL, Url.c_str());
    curl_easy_setopt(C.H, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(C.H, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(C.H, CURLOPT_CONNECTTIMEOUT, Client.ConnectTimeoutSeconds);
    curl_easy_setopt(C.H, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(C.H, CURLOPT_LOW_SPEED_TIME, Client.StallTimeoutSeconds);
    curl_easy_setopt(C.H, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(C.H, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!Client.CAFile.empty()) curl_easy_setopt(C.H, CURLOPT_CAINFO, Client.CAFile.c_str());
    curl_easy_setopt(C.H, CURLOPT_USERAGENT, kUserAgent);
    curl_easy_setopt(C.H, CURLOPT_ERRORBUFFER, ErrorText);
    curl_easy_setopt(C.H, CURLOPT_WRITEFUNCTION, OnBody);
    curl_easy_setopt(C.H, CURLOPT_WRITEDATA, &T);
    curl_easy_setopt(C.H, CURLOPT_HEADERFUNCTION, OnHeader);
    curl_easy_setopt(C.H, CURLOPT_HEADERDATA, &T);
    for (const auto& Entry : Client.ConnectTo)
        C.ConnectTo = curl_slist_append(C.ConnectTo, Entry.c_str());
    if (C.ConnectTo) curl_easy_setopt(C.H, CURLOPT_CONNECT_TO, C.ConnectTo);
    if (Envelope) {
        C.Headers = curl_slist_append(C.Headers, "Content-Type: text/xml; charset=utf-8");
        C.Headers = curl_slist_append(C.Headers, ("SOAPAction: \"" + *SoapAction + "\"").c_str());
        // No "100 Continue" round trip before large batches.
        C.Headers = curl_slist_append(C.Headers, "Expect:");
        curl_easy_setopt(C.H, CURLOPT_HTTPHEADER, C.Headers);
        curl_easy_setopt(C.H, CURLOPT_POST, 1L);
        curl_easy_setopt(C.H, CURLOPT_POSTFIELDS, Envelope->data());
        curl_easy_setopt(C.H, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(Envelope->size()));
    }
    ReportTransferProgress(C.H);
    const CURLcode Code = [&] {
        const TServiceThreadWait Wait;
        return curl_easy_perform(C.H);
    }();
    if (T.Failure == TTransfer::kTooLarge)
        throw ESOAPError("The reply is larger than " + std::to_string(T.Limit) + " bytes");
    if (T.Failure == TTransfer::kOutOfMemory)
        throw ESOAPError("Not enough memory to receive the reply");
    if (Code == CURLE_PEER_FAILED_VERIFICATION)
        throw ESOAPError("certificate of " + UrlHost(Url) +
                         " not trusted: " + (ErrorText[0] ? ErrorText : curl_easy_strerror(Code)));
    if (Code != CURLE_OK) throw ESOAPError(ErrorText[0] ? ErrorText : curl_easy_strerror(Code));
    C.Failed = false;
    curl_easy_getinfo(C.H, CURLINFO_RESPONSE_CODE, &T.Reply.StatusCode);
    char* ContentType = nullptr;
    curl_easy_getinfo(C.H, CURLINFO_CONTENT_TYPE, &ContentType);
    if (ContentType) T.Reply.ContentType = ContentType;
    return std::move(T.Reply);
}

// Parses Body in place (Doc points into it afterwards); body and document together stay within
// the limit of the last reply this thread received. Throws ESOAPError when Body is not
// well-formed or needs more memory.
void ParseReplyBody(pugi::xml_document& Doc, std::string& Body, unsigned Options) {
    // The parser ends at a NUL character, so the rest would go unread; in UTF-16 or UTF-32 (a
    // byte order mark or a NUL in the first two bytes) NUL bytes belong to the characters.
    const bool Wide = Body.size() >= 2 &&
                      (Body[0] == 0 || Body[1] == 0 || static_cast<unsigned char>(Body[0]) >= 0xFE);
    if (!Wide && std::memchr(Body.data(), 0, Body.size()))
        throw ESOAPError("Invalid SOAP response: a NUL character in the reply");
    const size_t Limit = tReplyLimit;
    size_t Budget = Body.size() < Limit ? Limit - Body.size() : 0;
    tDocumentBudget = &Budget;
    // With the string's terminating NUL: the parser takes the last byte of what it is given for
    // its own terminator, and would lose a last character of text after the document element.
    const pugi::xml_parse_result Parsed =
        Doc.load_buffer_inplace(Body.data(), Body.size() + 1, Options);
    tDocumentBudget = nullptr;
    if (Parsed.status == pugi::status_out_of_memory)
        throw ESOAPError("The reply needs more than " + std::to_string(Limit) +
                         " bytes of memory to read");
    if (!Parsed) throw ESOAPError(Parsed.description());
}

bool IsHttpError(const TSoapHttpReply& Reply) {
    return Reply.StatusCode < 200 || Reply.StatusCode > 299;
}

std::string HttpErrorText(const TSoapHttpReply& Reply) {
    // "HTTP/1.1 500 Internal Server Error": keep the code and the reason.
    std::string Status = std::to_string(Reply.StatusCode);
    const size_t Space = Reply.StatusLine.find(' ');
    if (Space != std::string::npos) Status = Trim(Reply.StatusLine.substr(Space + 1));
    return "The requested URL returned error: " + Status;
}

}  // namespace

std::string TSoapHttpClient::Endpoint() {
    if (WSDLLocation.empty()) return URL;
    if (!BoundEndpoint_.empty()) return BoundEndpoint_;
    TSoapHttpReply Reply = Get(WSDLLocation);
    if (IsHttpError(Reply)) throw ESOAPError(HttpErrorText(Reply));
    pugi::xml_document Doc;
    ParseReplyBody(Doc, Reply.Body, pugi::parse_default);
    for (pugi::xml_node S = Doc.document_element().first_child(); S; S = S.next_sibling()) {
        if (LocalName(S.name()) != "service" || Service != S.attribute("name").value()) continue;
        for (pugi::xml_node P = S.first_child(); P; P = P.next_sibling()) {
            if (LocalName(P.name()) != "port" || Port != P.attribute("name").value()) continue;
            const std::string Location =
                ChildByLocalName(P, "address").attribute("location").value();
            if (!Location.empty()) return BoundEndpoint_ = Location;
        }
    }
    throw ESOAPError("Port '" + Port + "' of service '" + Service +
                     "' not found in the service description " + WSDLLocation);
}

TSoapHttpReply TSoapHttpClient::Post(const std::string& Url, const std::string& SoapAction,
                                     const std::string& Envelope) {
    return Exchange(*this, Url, &SoapAction, &Envelope);
}

TSoapHttpReply TSoapHttpClient::Get(const std::string& Url) {
    return Exchange(*this, Url, nullptr, nullptr);
}

// ---- the port ----

namespace {

// One call's reply: the parsed document (which points into Body) and its result element.
struct TSoapReply {
    std::string Body;
    pugi::xml_document Doc;
    pugi::xml_node Result;  // null when the body held no element
};

std::string MediaType(const std::string& ContentType) {
    return LowerCase(Trim(ContentType.substr(0, ContentType.find(';'))));
}

// Parses Body in place (Doc points into it afterwards) within the memory limit of a reply, and
// returns its document element, null when it has none. Anything but one element with only
// comments and blanks around it fails the call.
pugi::xml_node LoadReply(pugi::xml_document& Doc, std::string& Body) {
    // As a fragment the parser keeps text and elements after the first one, so they can be
    // refused rather than silently dropped.
    ParseReplyBody(Doc, Body, pugi::parse_default | pugi::parse_fragment);
    pugi::xml_node Root;
    for (pugi::xml_node N = Doc.first_child(); N; N = N.next_sibling()) {
        if (N.type() == pugi::node_pcdata || N.type() == pugi::node_cdata)
            throw ESOAPError("Invalid SOAP response: text outside the envelope");
        if (N.type() != pugi::node_element) continue;
        if (Root) throw ESOAPError("Invalid SOAP response: content after the envelope");
        Root = N;
    }
    return Root;
}

// What the envelope's Body holds: its first element, null when it is empty.
struct TBodyContent {
    pugi::xml_node First;
    bool Fault = false;
};

// The checks every reply passes, then the Body's content.
TBodyContent ReadEnvelope(pugi::xml_node Root) {
    const TNsScope Envelope(Root, nullptr);
    const std::string_view Ns = Envelope.Lookup(PrefixOf(Root.name()));
    const std::string Local = LocalName(Root.name());
    if (Ns != kSoapEnvelopeNamespace || Local != "Envelope")
        throw ESOAPError(std::string("DocumentElement ") + kSoapEnvelopeNamespace +
                         ":Envelope expected, " + std::string(Ns) + ":" + Local + " found");
    pugi::xml_node Body;
    int Bodies = 0, Headers = 0;
    for (pugi::xml_node N = Root.first_child(); N; N = N.next_sibling()) {
        if (IsSoapElement(N, Envelope, "Body")) {
            if (!Body) Body = N;
            ++Bodies;
        } else if (IsSoapElement(N, Envelope, "Header")) {
            ++Headers;
        }
    }
    if (Bodies > 1 || Headers > 1) throw ESOAPError("Invalid SOAP response");
    if (!Body)
        throw ESOAPError(std::string("Invalid SOAP response: no ") + kSoapEnvelopeNamespace +
                         ":Body in the envelope");
    TBodyContent Content;
    Content.First = FirstElement(Body);
    Content.Fault =
        Content.First && IsSoapElement(Content.First, TNsScope(Body, &Envelope), "Fault");
    return Content;
}

[[noreturn]] void ThrowFault(pugi::xml_node Fault) {
    const std::string Code = Trim(TextOf(ChildByLocalName(Fault, "faultcode")));
    std::string Text = TextOf(ChildByLocalName(Fault, "faultstring"));
    if (Text.empty()) Text = Code.empty() ? "SOAP fault without a faultstring" : Code;
    throw ESOAPFault(Text, Code);
}

// A fault that came with an HTTP error status, if the body holds one.
void ThrowFaultInErrorReply(TSoapReply& R) {
    try {
        pugi::xml_node Root = LoadReply(R.Doc, R.Body);
        if (!Root) return;
        const TBodyContent Content = ReadEnvelope(Root);
        if (Content.Fault) ThrowFault(Content.First);
    } catch (const ESOAPFault&) {
        throw;
    } catch (const ESOAPError&) {
        // Not a SOAP reply: the HTTP status is the failure.
    }
}

pugi::xml_node PickResult(pugi::xml_node Response) {
    pugi::xml_node Only;
    int Elements = 0;
    for (pugi::xml_node N = Response.first_child(); N; N = N.next_sibling()) {
        if (N.type() != pugi::node_element) continue;
        if (++Elements == 1) Only = N;
    }
    if (Elements == 1) return Only;
    for (pugi::xml_node N = Response.first_child(); N; N = N.next_sibling()) {
        if (N.type() != pugi::node_element) continue;
        const std::string Local = LowerCase(LocalName(N.name()));
        if (Local == "result" || Local == "return") return N;
    }
    throw ESOAPError("SOAP Response Packet: result element expected, received \"" +
                     OuterXml(Response) + "\"");
}

void InterpretReply(TSoapReply& R, const TSoapHttpReply& Http) {
    if (IsHttpError(Http)) {
        ThrowFaultInErrorReply(R);
        throw ESOAPError(HttpErrorText(Http));
    }
    const std::string Media = MediaType(Http.ContentType);
    if (Media == "text/html" || Media == "text/plain")
        throw ESOAPError("Received content of invalid Content-Type setting: " + Http.ContentType +
                         " - SOAP expects \"text/xml\"");
    pugi::xml_node Root = LoadReply(R.Doc, R.Body);
    if (!Root) throw ESOAPError("Invalid SOAP Response");
    const TBodyContent Content = ReadEnvelope(Root);
    if (!Content.First) return;  // an empty body: the result stays empty
    if (Content.Fault) ThrowFault(Content.First);
    R.Result = PickResult(Content.First);
}

// The reply of Http, checked; its body moves into R, where the parsed document points.
void ReadReply(TSoapReply& R, TSoapHttpReply& Http) {
    R.Body = std::move(Http.Body);
    InterpretReply(R, Http);
}

// A string or integer result holds text only: markup in it is not a value to read as empty.
void CheckTextResult(pugi::xml_node Result) {
    for (pugi::xml_node N = Result.first_child(); N; N = N.next_sibling())
        if (N.type() == pugi::node_element)
            throw ESOAPError("SOAP Response Packet: text result expected, received \"" +
                             OuterXml(Result) + "\"");
}

// The text of Result, assembled in the reply's own buffer where the in-place parse left its
// pieces in order, so a result of many megabytes is not copied again.
std::string TakeText(pugi::xml_node Result, std::string& Body) {
    const auto Begin = reinterpret_cast<uintptr_t>(Body.data());
    const auto End = Begin + Body.size();
    auto IsText = [](pugi::xml_node N) {
        return N.type() == pugi::node_pcdata || N.type() == pugi::node_cdata;
    };
    for (pugi::xml_node N = Result.first_child(); N; N = N.next_sibling()) {
        const auto At = reinterpret_cast<uintptr_t>(N.value());
        // A reply in another encoding was parsed from a converted copy.
        if (IsText(N) && *N.value() && (At < Begin || At >= End)) return TextOf(Result);
    }
    size_t Size = 0;
    for (pugi::xml_node N = Result.first_child(); N; N = N.next_sibling()) {
        if (!IsText(N)) continue;
        const size_t Length = std::strlen(N.value());
        std::memmove(Body.data() + Size, N.value(), Length);
        Size += Length;
    }
    Body.resize(Size);
    return std::move(Body);
}

}  // namespace

std::string ReadSoapStringReply(TSoapHttpReply Http) {
    TSoapReply R;
    ReadReply(R, Http);
    if (!R.Result) return std::string();
    CheckTextResult(R.Result);
    return TakeText(R.Result, R.Body);
}

int64_t ReadSoapLongReply(TSoapHttpReply Http) {
    TSoapReply R;
    ReadReply(R, Http);
    if (!R.Result) return 0;
    CheckTextResult(R.Result);
    return ToInt64(TextOf(R.Result));
}

std::unique_ptr<BatchInfo> ReadSoapBatchInfoReply(TSoapHttpReply Http) {
    TSoapReply R;
    ReadReply(R, Http);
    return R.Result ? ReadBatchInfo(R.Result) : nullptr;
}

std::unique_ptr<RequestLog> ReadSoapRequestLogReply(TSoapHttpReply Http) {
    TSoapReply R;
    ReadReply(R, Http);
    return R.Result ? ReadRequestLog(R.Result) : nullptr;
}

namespace {

// One parameter value: a caller's text, made XML-safe and escaped straight into the envelope
// (a batch is tens of megabytes), or a number or flag already in its wire form.
struct TArg {
    const std::string* Text = nullptr;
    std::string Plain;
};

TArg Str(const std::string& Value) { return {&Value, {}}; }

TArg Int(int64_t Value) { return {nullptr, std::to_string(Value)}; }

TArg Bool(bool Value) { return {nullptr, Value ? "true" : "false"}; }

// The fixed parts of every request envelope.
const char* const kEnvelopeHead =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<soap:Envelope xmlns:soap=\"";
const char* const kEnvelopeBodyOpen =
    "\" xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
    "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"><soap:Body>";
const char* const kEnvelopeTail = "</soap:Body></soap:Envelope>";
// The most parameters an operation has.
constexpr size_t kMaxParams = 8;

class TVexoWSSoapClient final : public IVexoWSSoap {
  public:
    explicit TVexoWSSoapClient(std::shared_ptr<TSoapHttpClient> Transport)
        : Transport_(std::move(Transport)) {}

    std::string GetBatchInfo(const std::string& Token, const std::string& BatchNo) override {
        return CallString("GetBatchInfo", {Str(Token), Str(BatchNo)});
    }
    std::unique_ptr<BatchInfo> GetBatchInfoObject(const std::string& Token,
                                                  const std::string& BatchNo) override {
        return ReadSoapBatchInfoReply(Call("GetBatchInfoObject", {Str(Token), Str(BatchNo)}));
    }
    std::string GetMOMessagesForDateRange(const std::string& Token, const std::string& StartDate,
                                          const std::string& EndDate) override {
        return CallString("GetMOMessagesForDateRange", {Str(Token), Str(StartDate), Str(EndDate)});
    }
    std::string GetMessageDetail(const std::string& Token, int64_t MessageID) override {
        return CallString("GetMessageDetail", {Str(Token), Int(MessageID)});
    }
    std::string GetMessageStatus(const std::string& Token, int64_t MessageID) override {
        return CallString("GetMessageStatus", {Str(Token), Int(MessageID)});
    }
    std::string GetOSMOMessages(const std::string& Token) override {
        return CallString("GetOSMOMessages", {Str(Token)});
    }
    std::string GetOSReplies(const std::string& Token, const std::string& ClientApp) override {
        return CallString("GetOSReplies", {Str(Token), Str(ClientApp)});
    }
    std::string GetOSSMSReplies(const std::string& Token) override {
        return CallString("GetOSSMSReplies", {Str(Token)});
    }
    std::string GetOSSMSStatus(const std::string& Token) override {
        return CallString("GetOSSMSStatus", {Str(Token)});
    }
    std::string GetOSStatus(const std::string& Token, const std::string& ClientApp) override {
        return CallString("GetOSStatus", {Str(Token), Str(ClientApp)});
    }
    std::string GetRequestLog(const std::string& Token, int64_t RequestID) override {
        return CallString("GetRequestLog", {Str(Token), Int(RequestID)});
    }
    std::unique_ptr<RequestLog> GetRequestLogObject(const std::string& Token,
                                                    int64_t RequestID) override {
        return ReadSoapRequestLogReply(Call("GetRequestLogObject", {Str(Token), Int(RequestID)}));
    }
    std::string GetRequestMessages(const std::string& Token, int64_t RequestID) override {
        return CallString("GetRequestMessages", {Str(Token), Int(RequestID)});
    }
    std::string GetRuleMergeVars(const std::string& Token, const std::string& ID) override {
        return CallString("GetRuleMergeVars", {Str(Token), Str(ID)});
    }
    std::string GetRules(const std::string& Token, const std::string& LastUpdate) override {
        return CallString("GetRules", {Str(Token), Str(LastUpdate)});
    }
    std::string GetSMSReply(const std::string& Token, const std::string& MessageID) override {
        return CallString("GetSMSReply", {Str(Token), Str(MessageID)});
    }
    int64_t GetStatus(const std::string& Token) override {
        return CallInt64("GetStatus", {Str(Token)});
    }
    std::string GetTemplateMergeVars(const std::string& Token, const std::string& ID) override {
        return CallString("GetTemplateMergeVars", {Str(Token), Str(ID)});
    }
    std::string GetTemplates(const std::string& Token, const std::string& Protocol,
                             const std::string& LastUpdate) override {
        return CallString("GetTemplates", {Str(Token), Str(Protocol), Str(LastUpdate)});
    }
    std::string Login(const std::string& Username, const std::string& Password) override {
        return CallString("Login", {Str(Username), Str(Password)});
    }
    int64_t Logout(const std::string& Token) override { return CallInt64("Logout", {Str(Token)}); }
    std::string Send(const std::string& Token, const std::string& XMLStream,
                     bool Compressed) override {
        return CallString("Send", {Str(Token), Str(XMLStream), Bool(Compressed)});
    }
    std::string SendNS(const std::string& UserName, const std::string& Password,
                       const std::string& XMLStream, bool Compressed) override {
        return CallString("SendNS",
                          {Str(UserName), Str(Password), Str(XMLStream), Bool(Compressed)});
    }
    int64_t SendSMSMessage(const std::string& Token, const std::string& RefNo,
                           const std::string& PhoneNo, const std::string& MsgType,
                           const std::string& Message, const std::string& CostClass,
                           int64_t Priority) override {
        return CallInt64("SendSMSMessage", {Str(Token), Str(RefNo), Str(PhoneNo), Str(MsgType),
                                            Str(Message), Str(CostClass), Int(Priority)});
    }
    int64_t SendSMSMessageNS(const std::string& Username, const std::string& Password,
                             const std::string& RefNo, const std::string& PhoneNo,
                             const std::string& MsgType, const std::string& Message,
                             const std::string& CostClass, int64_t Priority) override {
        return CallInt64("SendSMSMessageNS",
                         {Str(Username), Str(Password), Str(RefNo), Str(PhoneNo), Str(MsgType),
                          Str(Message), Str(CostClass), Int(Priority)});
    }
    int64_t Test(const std::string& Testval) override { return CallInt64("Test", {Str(Testval)}); }

  private:
    // Args are the parameters' values in declared order. Returns the HTTP reply unread.
    TSoapHttpReply Call(const char* Operation, std::initializer_list<TArg> Args) {
        const TSoapRegistration& Reg = VexoWSRegistration();
        const TSoapOperationInfo& Op = Reg.Operation(Operation);
        if (Args.size() != Op.Params.size() || Args.size() > kMaxParams)
            throw ESOAPError(std::string("Wrong number of parameters for ") + Operation);
        // Where the call goes is settled first: a bad address fails before any work.
        const std::string Url = Transport_->Endpoint();
        CheckScheme(Url);
        // Each text made XML-safe once (a clean one, such as the batch, is not copied), so the
        // envelope is sized exactly before it is written.
        std::string Converted[kMaxParams];
        std::string_view Values[kMaxParams];
        size_t Size = std::strlen(kEnvelopeHead) + std::strlen(kSoapEnvelopeNamespace) +
                      std::strlen(kEnvelopeBodyOpen) + 2 * std::strlen(Operation) +
                      Reg.Namespace.size() + std::strlen(kEnvelopeTail) + 14;
        auto Param = Op.Params.begin();
        size_t I = 0;
        for (const auto& A : Args) {
            Values[I] = A.Text ? ToXmlText(*A.Text, Converted[I]) : std::string_view(A.Plain);
            Size += 2 * std::strlen(Param->Name) + 5 +
                    (A.Text ? XmlEscapedSize(Values[I], false) : Values[I].size());
            ++Param, ++I;
        }
        std::string Envelope;
        Envelope.reserve(Size);
        PreferHugePages(Envelope.data(), Envelope.capacity());
        Envelope += kEnvelopeHead;
        Envelope += kSoapEnvelopeNamespace;
        Envelope += kEnvelopeBodyOpen;
        Envelope += '<';
        Envelope += Operation;
        Envelope += " xmlns=\"";
        Envelope += Reg.Namespace;
        Envelope += "\">";
        Param = Op.Params.begin();
        I = 0;
        for (const auto& A : Args) {
            Envelope += '<';
            Envelope += Param->Name;
            Envelope += '>';
            if (A.Text)
                AppendXmlEscaped(Envelope, Values[I], false);
            else
                Envelope += Values[I];
            Envelope += "</";
            Envelope += Param->Name;
            Envelope += '>';
            ++Param, ++I;
        }
        Envelope += "</";
        Envelope += Operation;
        Envelope += '>';
        Envelope += kEnvelopeTail;

        return Transport_->Post(Url, Reg.SoapAction(Operation), Envelope);
    }

    std::string CallString(const char* Operation, std::initializer_list<TArg> Args) {
        return ReadSoapStringReply(Call(Operation, Args));
    }

    int64_t CallInt64(const char* Operation, std::initializer_list<TArg> Args) {
        return ReadSoapLongReply(Call(Operation, Args));
    }

    std::shared_ptr<TSoapHttpClient> Transport_;
};

}  // namespace

std::shared_ptr<IVexoWSSoap> GetIVexoWSSoap(bool UseDescription, const std::string& Address,
                                            std::shared_ptr<TSoapHttpClient> Transport,
                                            const std::string& CAFile) {
    if (!Transport) Transport = std::make_shared<TSoapHttpClient>();
    if (!CAFile.empty()) Transport->CAFile = CAFile;
    if (UseDescription) {
        Transport->WSDLLocation = Address.empty() ? kVexoDefaultWSDL : Address;
        Transport->Service = kServiceName;
        Transport->Port = kPortName;
    } else {
        Transport->WSDLLocation.clear();
        Transport->URL = Address.empty() ? kVexoDefaultURL : Address;
    }
    return std::make_shared<TVexoWSSoapClient>(std::move(Transport));
}
