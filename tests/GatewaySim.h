// The gateway simulator (build/vexo-gateway-sim) as a child process of a test, on a free port of
// 127.0.0.1, with its control interface: fault injection, raw status and reply texts, and what it
// received (messages and raw SOAP requests).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tests/TestSupport.h"

namespace testsupport {

// One message the simulator received, as listed by GET /control/messages.
struct TSimMessage {
    int64_t ReqID = 0;
    std::string BatchName, Protocol, Address, Reference, MessageType, Text;
};

// One SOAP request as the simulator received it.
struct TSimRequest {
    std::string Method, Path, Host, SoapAction, ContentType, Body;
};

// What the simulator counted since it started (GET /control/stats): TCP connections accepted,
// HTTP requests received, the connections that carried SOAP calls, and the SOAP calls. The
// request that reads them counts itself, in Connections and Requests.
struct TSimStats {
    int64_t Connections = 0, Requests = 0, SoapConnections = 0, SoapRequests = 0;
};

class TGatewaySim {
  public:
    // Starts the simulator and waits for its ready line; throws std::runtime_error when it does
    // not come up. An empty Username makes it accept any logon.
    explicit TGatewaySim(const std::string& Username = "gwuser",
                         const std::string& Password = "gwsecret");
    TGatewaySim(const TGatewaySim&) = delete;
    TGatewaySim& operator=(const TGatewaySim&) = delete;

    // The service endpoint: "http://127.0.0.1:PORT/csp/vexo/Vexo.Webservice.cls".
    const std::string& Url() const { return url_; }
    // "http://127.0.0.1:PORT"
    std::string BaseUrl() const;
    int Port() const { return port_; }
    const std::string& Username() const { return username_; }
    const std::string& Password() const { return password_; }
    ChildProcess& Process() { return *process_; }

    // The next Count calls of Operation ("*": any operation) answer with Kind (see
    // tools/vexo-gateway-sim.cpp); DelayMs for "delay". Throws when the simulator refuses.
    void Fault(const std::string& Operation, int Count, const std::string& Kind, int DelayMs = 0);
    // The next call of Operation ("*": any) gets exactly this HTTP answer.
    void RawReply(const std::string& Operation, const std::string& Body, int Status = 200,
                  const std::string& ContentType = "text/xml");
    // Raw text the next GetOSStatus / GetOSReplies returns.
    void SetOSStatus(const std::string& Text);
    void SetOSReplies(const std::string& Text);
    std::string MessagesCsv();
    std::vector<TSimMessage> Messages();
    // The last Count SOAP requests, oldest first.
    std::vector<TSimRequest> Requests(size_t Count = 1);
    TSimStats Stats();

  private:
    std::string username_, password_;
    std::unique_ptr<ChildProcess> process_;
    std::string url_;
    int port_ = 0;
};

// Minimal HTTP for tests, over libcurl. Throws std::runtime_error on a transport failure.
struct THttpResult {
    long Status = 0;
    std::string ContentType;
    std::string Body;
};

// Requests over one connection, which stays open between them while the server keeps it.
class THttpConnection {
  public:
    THttpConnection();
    ~THttpConnection();
    THttpConnection(const THttpConnection&) = delete;
    THttpConnection& operator=(const THttpConnection&) = delete;
    THttpResult Request(const std::string& Method, const std::string& Url,
                        const std::string& Body = "", const std::vector<std::string>& Headers = {});

  private:
    void* Handle_;
};

// One request on a connection of its own.
THttpResult HttpRequest(const std::string& Method, const std::string& Url,
                        const std::string& Body = "", const std::vector<std::string>& Headers = {});

}  // namespace testsupport
