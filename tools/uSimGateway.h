// The gateway simulator's service: the 26 SOAP operations of the gateway's port, the accounts'
// messages with their delivery statuses and replies, and the control interface the tests use to
// inject failures and read what was received. Independent of the HTTP server that carries it.
//
// Thread safety: every public member may be called from any number of threads at once.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "tools/uSimMessages.h"

// One HTTP request as the simulator saw it.
struct TSimHttpRequest {
    std::string Method;
    std::string Path;
    std::string Host;
    std::string SoapAction;
    std::string ContentType;
    std::string Body;
};

// What to answer. Drop: close the connection without any answer.
struct TSimHttpResponse {
    int Status = 200;
    std::string ContentType = "text/xml; charset=utf-8";
    std::string Body;
    bool Drop = false;
    // A long answer is made while it goes out: Body, then each piece Produce returns until it
    // returns "" (a piece is valid until the next call; any thread, one at a time), then Tail.
    // ProducedBytes is the length of the pieces together.
    std::function<std::string_view()> Produce;
    size_t ProducedBytes = 0;
    std::string Tail;
    size_t Size() const { return Body.size() + ProducedBytes + Tail.size(); }
};

class TSimGateway {
  public:
    // Empty Username accepts any credentials. BaseUrl: "http://127.0.0.1:PORT", used in the
    // service description.
    TSimGateway(std::string Username, std::string Password, std::string BaseUrl);

    // A SOAP call posted to the service path. May sleep when a delay was injected. Takes the
    // request whole: its body is read in place.
    TSimHttpResponse HandleSoap(TSimHttpRequest Request);
    // The service description (GET on the service path with "?WSDL").
    TSimHttpResponse Description() const;

    // Control interface. Returns an error text, "" when accepted.
    std::string SetFault(const std::string& Operation, int Count, const std::string& Kind,
                         int DelayMs);
    // The next call of Operation ("*": any) is answered with exactly this status, type and body.
    std::string SetRawReply(const std::string& Operation, int Status,
                            const std::string& ContentType, const std::string& Body);
    void SetNextOSStatus(const std::string& Text);
    void SetNextOSReplies(const std::string& Text);
    // One line per message: ReqID,BatchName,Protocol,Address,Reference,MessageType,Text; within a
    // field "\" "," CR and LF are written as "\\" "\," "\r" "\n".
    std::string MessagesCsv() const;
    // The last Count SOAP requests received, oldest first, each framed as
    // "#REQUEST <body bytes>\n" + "Path: ...\nHost: ...\nSOAPAction: ...\nContent-Type: ...\n\n"
    // + body + "\n".
    std::string RequestsText(size_t Count) const;

  private:
    struct TFault {
        std::string Kind;
        int Count = 0;
        int DelayMs = 0;
    };
    struct TBatchRecord {
        int64_t BatchID = 0;
        std::string BatchNo;
        std::string RecTime;
        size_t First = 0, Count = 0;  // range in Messages_
    };
    struct TCall;  // one parsed SOAP call

    // Appends the operation's result content to Out.Body, or leaves it to Out.Produce.
    void Dispatch(TCall& Call, TSimHttpResponse& Out);
    std::string BatchInfoXml(const TBatchRecord& Batch) const;  // lock held
    void Send(std::string_view XMLStream, bool Compressed, TSimHttpResponse& Out);
    void OSStatus(const std::string& ClientApp, std::string& Out);
    void OSReplies(const std::string& ClientApp, std::string& Out);
    void CheckToken(std::string_view Token) const;
    void CheckCredentials(std::string_view Username, std::string_view Password) const;
    size_t FindMessage(int64_t ReqID) const;  // lock held; the index in Messages_
    int64_t ReqIDOf(size_t Index) const;
    // Lock held: the index of RecTime in RecTimes_, added when it is new.
    uint32_t RecTimeIndex(const std::string& RecTime);
    // Lock held: queues the status (and every so often a reply) of each message stored from
    // First on. A message's tag is its RecTimes_ index.
    void Queue(size_t First);
    // Lock held: the pending entries of ClientApp ("" for all), removed from Pending.
    std::vector<uint32_t> TakePending(std::vector<uint32_t>& Pending, const std::string& ClientApp);

    const std::string Username_, Password_, BaseUrl_;
    mutable std::mutex Mutex_;
    std::set<std::string> Tokens_;
    int64_t TokenCounter_ = 0;
    int64_t NextBatchID_ = 1;
    int64_t ReplySeq_ = 0;
    TSimMessages Messages_;  // message I has the ReqID kFirstReqID + I
    std::vector<std::string> RecTimes_;
    std::vector<TBatchRecord> Batches_;
    std::vector<uint32_t> PendingStatus_, PendingReplies_;  // indices into Messages_
    std::optional<std::string> NextOSStatus_, NextOSReplies_;
    std::map<std::string, TFault> Faults_;                // by operation; "*" for every operation
    std::map<std::string, TSimHttpResponse> RawReplies_;  // by operation, used once
    std::vector<TSimHttpRequest> Requests_;               // the most recent ones
};
