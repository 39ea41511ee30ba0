// Client of the gateway's SOAP port "IVexoWSSoap" (service "IVexoWS"): the port interface with its
// 26 operations, the structured types of the service, the HTTP transport and the client factory.
//
// Calls are document-style SOAP 1.1 over HTTP(S), UTF-8, one POST per call. A client is used by
// one thread at a time; any number of clients may run on different threads at once. The calls of
// one thread share its connection (and TLS session) while the gateway keeps it open, whichever
// client makes them; a failed transfer leaves the next call a new one. A reply may hold at most
// 256 MiB, body and parsed document together.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

// Every failed gateway call: transport, HTTP, XML or SOAP level. The message is the text the
// callers log.
class ESOAPError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The gateway answered with a SOAP fault; the message is its faultstring.
class ESOAPFault : public ESOAPError {
  public:
    ESOAPFault(const std::string& FaultString, std::string Code)
        : ESOAPError(FaultString), FaultCode(std::move(Code)) {}
    std::string FaultCode;
};

// Base of the service's structured types.
class TRemotable {
  public:
    virtual ~TRemotable() = default;
};

class Rcpt : public TRemotable {
  public:
    std::string Name;
    std::string CellNo;
    std::string Email;
    std::string FaxNo;
    std::string TelNo;
    std::string MergeVars;
};

class RqstIdent : public TRemotable {
  public:
    std::unique_ptr<::Rcpt> Rcpt;  // null when the reply had none
    int64_t ReqID = 0;
    std::string Ref;
};

using ArrayOfRqstIdentRqstIdent = std::vector<std::unique_ptr<RqstIdent>>;

class BatchInfo : public TRemotable {
  public:
    ArrayOfRqstIdentRqstIdent RqstList;
    std::string RecTime;
    int64_t BatchID = 0;
    std::string BatchNo;
};

class RuleProcess : public TRemotable {
  public:
    int64_t MsgID = 0;
    std::string Rule;
    std::string Prot;
    bool Gened = false;
    std::string LogTxt;
    std::string ProcTime;
};

using RuleProc = std::vector<std::unique_ptr<RuleProcess>>;

// On the wire its items are repeated "RuleProc" elements directly inside the element holding it.
class ArrayOfRuleProcRuleProcess : public TRemotable {
  public:
    ::RuleProc RuleProc;
};

class RequestLog : public TRemotable {
  public:
    std::unique_ptr<ArrayOfRuleProcRuleProcess> RuleProcLog;  // null when the reply had none
    int64_t ReqID = 0;
    std::string RecTime;
    int8_t Status = 0;
};

// Base of every remotely invokable interface.
class IInvokable {
  public:
    virtual ~IInvokable() = default;
};

// The gateway's port. Every operation blocks until the reply arrived or the call failed, and
// throws ESOAPError (ESOAPFault for a SOAP fault) on failure.
class IVexoWSSoap : public IInvokable {
  public:
    virtual std::string GetBatchInfo(const std::string& Token, const std::string& BatchNo) = 0;
    virtual std::unique_ptr<BatchInfo> GetBatchInfoObject(const std::string& Token,
                                                          const std::string& BatchNo) = 0;
    virtual std::string GetMOMessagesForDateRange(const std::string& Token,
                                                  const std::string& StartDate,
                                                  const std::string& EndDate) = 0;
    virtual std::string GetMessageDetail(const std::string& Token, int64_t MessageID) = 0;
    virtual std::string GetMessageStatus(const std::string& Token, int64_t MessageID) = 0;
    virtual std::string GetOSMOMessages(const std::string& Token) = 0;
    virtual std::string GetOSReplies(const std::string& Token, const std::string& ClientApp) = 0;
    virtual std::string GetOSSMSReplies(const std::string& Token) = 0;
    virtual std::string GetOSSMSStatus(const std::string& Token) = 0;
    virtual std::string GetOSStatus(const std::string& Token, const std::string& ClientApp) = 0;
    virtual std::string GetRequestLog(const std::string& Token, int64_t RequestID) = 0;
    virtual std::unique_ptr<RequestLog> GetRequestLogObject(const std::string& Token,
                                                            int64_t RequestID) = 0;
    virtual std::string GetRequestMessages(const std::string& Token, int64_t RequestID) = 0;
    virtual std::string GetRuleMergeVars(const std::string& Token, const std::string& ID) = 0;
    virtual std::string GetRules(const std::string& Token, const std::string& LastUpdate) = 0;
    virtual std::string GetSMSReply(const std::string& Token, const std::string& MessageID) = 0;
    virtual int64_t GetStatus(const std::string& Token) = 0;
    virtual std::string GetTemplateMergeVars(const std::string& Token, const std::string& ID) = 0;
    virtual std::string GetTemplates(const std::string& Token, const std::string& Protocol,
                                     const std::string& LastUpdate) = 0;
    virtual std::string Login(const std::string& Username, const std::string& Password) = 0;
    virtual int64_t Logout(const std::string& Token) = 0;
    virtual std::string Send(const std::string& Token, const std::string& XMLStream,
                             bool Compressed) = 0;
    virtual std::string SendNS(const std::string& UserName, const std::string& Password,
                               const std::string& XMLStream, bool Compressed) = 0;
    virtual int64_t SendSMSMessage(const std::string& Token, const std::string& RefNo,
                                   const std::string& PhoneNo, const std::string& MsgType,
                                   const std::string& Message, const std::string& CostClass,
                                   int64_t Priority) = 0;
    virtual int64_t SendSMSMessageNS(const std::string& Username, const std::string& Password,
                                     const std::string& RefNo, const std::string& PhoneNo,
                                     const std::string& MsgType, const std::string& Message,
                                     const std::string& CostClass, int64_t Priority) = 0;
    virtual int64_t Test(const std::string& Testval) = 0;
};

// What one HTTP exchange returned.
struct TSoapHttpReply {
    long StatusCode = 0;
    std::string StatusLine;   // e.g. "HTTP/1.1 500 Internal Server Error"
    std::string ContentType;  // as received, "" when absent
    std::string Body;
};

// The reply readers every call of the port uses: each checks one HTTP reply (status, content
// type, envelope, fault) and turns its result element into the operation's result; an empty SOAP
// body gives "", 0 or null. The body must be one well-formed envelope with nothing after it and a
// Body in the SOAP namespace; a string or integer result must hold text, not elements. Time is
// linear in the size of the reply. Throw ESOAPError (ESOAPFault for a SOAP fault). Any thread.
std::string ReadSoapStringReply(TSoapHttpReply Http);
int64_t ReadSoapLongReply(TSoapHttpReply Http);
std::unique_ptr<BatchInfo> ReadSoapBatchInfoReply(TSoapHttpReply Http);
std::unique_ptr<RequestLog> ReadSoapRequestLogReply(TSoapHttpReply Http);

// SOAP-over-HTTP client object: where calls go and how they travel. Configure it before the
// first call; afterwards it is used by one thread at a time.
class TSoapHttpClient {
  public:
    // Endpoint the calls are posted to; used when WSDLLocation is empty.
    std::string URL;
    // Service description to bind through: the endpoint is the address of Service/Port in it,
    // fetched once on the first call.
    std::string WSDLLocation;
    std::string Service;
    std::string Port;
    // curl "HOST:PORT:CONNECT-TO-HOST:CONNECT-TO-PORT" entries: reach a host under another address.
    std::vector<std::string> ConnectTo;
    long ConnectTimeoutSeconds;
    // A transfer that moves no byte for this long fails; there is no overall limit.
    long StallTimeoutSeconds;
    // A PEM bundle trusted for https instead of the system's store; "" for the store.
    std::string CAFile;

    TSoapHttpClient();

    // The endpoint calls go to: URL, or the one the service description names.
    std::string Endpoint();
    // Posts one SOAP request. Throws ESOAPError when the exchange itself fails.
    TSoapHttpReply Post(const std::string& Url, const std::string& SoapAction,
                        const std::string& Envelope);
    // Fetches a document with GET (the service description). Throws ESOAPError on failure.
    TSoapHttpReply Get(const std::string& Url);

  private:
    std::string BoundEndpoint_;
};

// Gateway defaults: the service namespace, the endpoint and the service description.
extern const char* const kVexoNamespace;          // "http://vexo.gateway"
extern const char* const kVexoDefaultURL;         // "http://localhost/csp/vexo/Vexo.Webservice.cls"
extern const char* const kVexoDefaultWSDL;        // ".../Vexo.Webservice.CLS?WSDL=1"
extern const char* const kSoapEnvelopeNamespace;  // SOAP 1.1 envelope

// The client factory. UseDescription true binds through the service description at Address
// (empty: the default description), false posts to the endpoint Address (empty: the default
// endpoint). Transport null: a new client object is created and lives as long as the result.
// CAFile, when not empty, becomes the transport's CAFile.
std::shared_ptr<IVexoWSSoap> GetIVexoWSSoap(bool UseDescription = false,
                                            const std::string& Address = "",
                                            std::shared_ptr<TSoapHttpClient> Transport = nullptr,
                                            const std::string& CAFile = "");

// The registrations made once at process start, read-only afterwards.
struct TSoapParamInfo {
    const char* Name;
    const char* XmlType;  // "string", "long" or "boolean"
};

struct TSoapOperationInfo {
    const char* Name;
    std::vector<TSoapParamInfo> Params;
    const char* ResultType;  // "string", "long", "BatchInfo" or "RequestLog"
};

struct TSoapTypeInfo {
    const char* ClassName;
    const char* XmlTypeName;
    bool IsArray;
    bool Inline;  // members serialised directly inside the element that holds the object
};

struct TSoapRegistration {
    std::string InterfaceName;
    std::string Namespace;
    std::string Encoding;
    std::string ActionPattern;  // "%operationName%" stands for the operation's name
    bool DocumentStyle;
    std::vector<TSoapOperationInfo> Operations;  // in interface order
    std::vector<TSoapTypeInfo> Types;

    const TSoapOperationInfo& Operation(const std::string& Name) const;
    std::string SoapAction(const std::string& OperationName) const;
};

const TSoapRegistration& VexoWSRegistration();
