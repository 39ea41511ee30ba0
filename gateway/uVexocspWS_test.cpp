// The gateway client against the real simulator over HTTP on 127.0.0.1: what goes on the wire,
// how replies are read, and every way a call can fail.
#include "gateway/uVexocspWS.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <pugixml.hpp>
#include <set>
#include <sstream>
#include <thread>

#include "tests/GatewaySim.h"

using testsupport::ChildProcess;
using testsupport::TempDir;
using testsupport::TGatewaySim;
using testsupport::TSimRequest;

namespace {

const char* const kEnvelopeNs = "http://schemas.xmlsoap.org/soap/envelope/";

// A small batch in the SDK's format, as Send receives it.
const char* const kBatch =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<BatchRequest BatchName=\"ABC\"><Sender Name=\"Org\" Email=\"\" CellNo=\"\" FaxNo=\"\"/>"
    "<MessageRequest BatchName=\"ABC\" Reference=\"R1\" Priority=\"0\" "
    "DateTime=\"2004-12-24 21:00:00\" Flag=\"true\"><OverrideProtocol ProtocolName=\"SMS\" "
    "MessageType=\"TEXT\" Flag=\"true\" MessageText=\"Fish &amp; chips\"/>"
    "<Recipient CellNo=\"0821234567\" Email=\"\" FaxNo=\"\"/></MessageRequest></BatchRequest>";

std::shared_ptr<IVexoWSSoap> Client(const TGatewaySim& Sim) {
    return GetIVexoWSSoap(false, Sim.Url(), nullptr);
}

// The operation element of a request body, after checking the envelope around it.
pugi::xml_node OperationOf(pugi::xml_document& Doc, const std::string& Body) {
    EXPECT_TRUE(Doc.load_string(Body.c_str())) << Body;
    pugi::xml_node Root = Doc.document_element();
    EXPECT_EQ(std::string("soap:Envelope"), Root.name());
    EXPECT_STREQ(kEnvelopeNs, Root.attribute("xmlns:soap").value());
    pugi::xml_node Body_ = Root.child("soap:Body");
    EXPECT_TRUE(Body_);
    return Body_.first_child();
}

std::string FailureOf(const std::function<void()>& Call) {
    try {
        Call();
    } catch (const ESOAPError& E) {
        return E.what();
    }
    return "(no failure)";
}

// A port on 127.0.0.1 with nothing listening on it.
int ClosedPort() {
    const int S = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in A{};
    A.sin_family = AF_INET;
    A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t Len = sizeof A;
    bind(S, reinterpret_cast<sockaddr*>(&A), sizeof A);
    getsockname(S, reinterpret_cast<sockaddr*>(&A), &Len);
    close(S);
    return ntohs(A.sin_port);
}

// The client ports of the TCP connections to Port on this machine, as either end lists them
// (the end that closed first keeps its entry for a minute): the connections made to it.
std::set<int> ConnectionsTo(int Port) {
    std::set<int> Ports;
    std::ifstream In("/proc/net/tcp");
    std::string Line, Slot, Local, Remote;
    std::getline(In, Line);
    while (std::getline(In, Line)) {
        std::istringstream(Line) >> Slot >> Local >> Remote;
        auto PortOf = [](const std::string& Address) {
            return std::stoi(Address.substr(Address.find(':') + 1), nullptr, 16);
        };
        if (PortOf(Remote) == Port) Ports.insert(PortOf(Local));
        if (PortOf(Local) == Port && PortOf(Remote) != 0) Ports.insert(PortOf(Remote));
    }
    return Ports;
}

// tests/crafted_server.py with these arguments, once it listens.
class TCraftedServer {
  public:
    explicit TCraftedServer(std::vector<std::string> Args) : Process_(Command(std::move(Args))) {
        const std::string Line = Process_.WaitForStdoutLine("listening ");
        if (Line.empty()) throw std::runtime_error("crafted server: " + Process_.Stderr());
        Port_ = std::stoi(Line.substr(10));
    }
    std::string Url(const std::string& Scheme) const {
        return Scheme + "://127.0.0.1:" + std::to_string(Port_) + "/x";
    }
    ChildProcess& Process() { return Process_; }

  private:
    static std::vector<std::string> Command(std::vector<std::string> Args) {
        Args.insert(Args.begin(),
                    {"/usr/bin/python3", testsupport::SourceDir() + "/tests/crafted_server.py"});
        return Args;
    }
    ChildProcess Process_;
    int Port_ = 0;
};

}  // namespace

TEST(GatewayWire, LoginIsOneDocumentStyleEnvelopeWithTheOperationInTheDefaultNamespace) {
    TGatewaySim Sim;
    const std::string Token = Client(Sim)->Login(Sim.Username(), Sim.Password());
    EXPECT_EQ(0u, Token.rfind("SIM-", 0)) << Token;

    const TSimRequest R = Sim.Requests(1).at(0);
    EXPECT_EQ("POST", R.Method);
    EXPECT_EQ("/csp/vexo/Vexo.Webservice.cls", R.Path);
    EXPECT_EQ("\"http://vexo.gateway/Vexo.Webservice.Login\"", R.SoapAction);
    EXPECT_EQ("text/xml; charset=utf-8", R.ContentType);
    EXPECT_EQ(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" "
        "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
        "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"><soap:Body>"
        "<Login xmlns=\"http://vexo.gateway\"><Username>gwuser</Username>"
        "<Password>gwsecret</Password></Login></soap:Body></soap:Envelope>",
        R.Body);
    EXPECT_EQ(std::string::npos, R.Body.find("encodingStyle"));
}

TEST(GatewayWire, ParametersKeepTheirNamesOrderAndTypes) {
    TGatewaySim Sim;
    auto Ws = Client(Sim);
    const std::string Token = Ws->Login(Sim.Username(), Sim.Password());

    Sim.SetOSStatus("");
    EXPECT_EQ("", Ws->GetOSStatus(Token, ""));
    EXPECT_NE("", Ws->Send(Token, kBatch, false));
    EXPECT_THROW(Ws->GetMessageDetail(Token, INT64_MIN), ESOAPFault);  // unknown, but sent
    EXPECT_EQ("Reply to R1", Ws->GetSMSReply(Token, "1000001"));
    const std::vector<TSimRequest> R = Sim.Requests(4);
    ASSERT_EQ(4u, R.size());

    pugi::xml_document D0, D1, D2, D3;
    // An empty ClientApp is sent as a present, empty element.
    pugi::xml_node Status = OperationOf(D0, R[0].Body);
    EXPECT_STREQ("GetOSStatus", Status.name());
    EXPECT_STREQ("http://vexo.gateway", Status.attribute("xmlns").value());
    EXPECT_EQ(Token, Status.child_value("Token"));
    ASSERT_TRUE(Status.child("ClientApp"));
    EXPECT_FALSE(Status.child("ClientApp").first_child());
    EXPECT_EQ("\"http://vexo.gateway/Vexo.Webservice.GetOSStatus\"", R[0].SoapAction);

    // The batch travels as escaped text and arrives unchanged; Compressed is "false".
    pugi::xml_node Send = OperationOf(D1, R[1].Body);
    EXPECT_STREQ("Send", Send.name());
    std::vector<std::string> Names;
    for (pugi::xml_node N : Send.children()) Names.push_back(N.name());
    EXPECT_EQ((std::vector<std::string>{"Token", "XMLStream", "Compressed"}), Names);
    EXPECT_EQ(kBatch, std::string(Send.child_value("XMLStream")));
    EXPECT_STREQ("false", Send.child_value("Compressed"));

    // MessageID is a decimal 64-bit number in GetMessageDetail and text in GetSMSReply.
    EXPECT_NE(std::string::npos, R[2].Body.find("<MessageID>-9223372036854775808</MessageID>"));
    EXPECT_STREQ("-9223372036854775808", OperationOf(D2, R[2].Body).child_value("MessageID"));
    pugi::xml_node Reply = OperationOf(D3, R[3].Body);
    EXPECT_STREQ("GetSMSReply", Reply.name());
    EXPECT_STREQ("1000001", Reply.child_value("MessageID"));
}

TEST(GatewayWire, TextIsSentAsValidUtf8WithoutCharactersXmlForbids) {
    TGatewaySim Sim("");  // any logon
    auto Ws = Client(Sim);
    // Latin-1 "é" (not UTF-8), a control character, a CR and markup characters.
    Ws->Login("caf\xE9\x01 <&>", "a\r\nb");
    const std::string Body = Sim.Requests(1).at(0).Body;
    EXPECT_NE(std::string::npos, Body.find("<Username>caf\xC3\xA9 &lt;&amp;&gt;</Username>"));
    EXPECT_NE(std::string::npos, Body.find("<Password>a&#13;\nb</Password>"));
    // Counted by the simulator in characters: the text arrived as 5 UTF-8 characters.
    EXPECT_EQ(5, Ws->Test("h\xC3\xA9llo"));
}

TEST(GatewayWire, EveryOperationIsAcceptedByTheGatewaysDescriptionOfIt) {
    // The simulator checks each request's parameter names, order and value types against its own
    // table; a mismatch answers "Unexpected parameter"/"Parameter ... missing"/"invalid value".
    TGatewaySim Sim;
    auto Ws = Client(Sim);
    const std::string T = Ws->Login(Sim.Username(), Sim.Password());
    const std::string Batch = kBatch;
    std::vector<std::function<void()>> Calls = {
        [&] { Ws->GetBatchInfo(T, "B1"); },
        [&] { Ws->GetBatchInfoObject(T, "B1"); },
        [&] { Ws->GetMOMessagesForDateRange(T, "2024-01-01", "2024-01-31"); },
        [&] { Ws->GetMessageDetail(T, 1000001); },
        [&] { Ws->GetMessageStatus(T, 1000001); },
        [&] { Ws->GetOSMOMessages(T); },
        [&] { Ws->GetOSReplies(T, ""); },
        [&] { Ws->GetOSSMSReplies(T); },
        [&] { Ws->GetOSSMSStatus(T); },
        [&] { Ws->GetOSStatus(T, ""); },
        [&] { Ws->GetRequestLog(T, 1000001); },
        [&] { Ws->GetRequestLogObject(T, 1000001); },
        [&] { Ws->GetRequestMessages(T, 1000001); },
        [&] { Ws->GetRuleMergeVars(T, "7"); },
        [&] { Ws->GetRules(T, ""); },
        [&] { Ws->GetSMSReply(T, "1000001"); },
        [&] { Ws->GetStatus(T); },
        [&] { Ws->GetTemplateMergeVars(T, "7"); },
        [&] { Ws->GetTemplates(T, "SMS", ""); },
        [&] { Ws->Login(Sim.Username(), Sim.Password()); },
        [&] { Ws->Logout(Ws->Login(Sim.Username(), Sim.Password())); },
        [&] { Ws->Send(T, Batch, false); },
        [&] { Ws->SendNS(Sim.Username(), Sim.Password(), Batch, false); },
        [&] { Ws->SendSMSMessage(T, "R9", "0821234567", "TEXT", "Hi", "STD", -5); },
        [&] {
            Ws->SendSMSMessageNS(Sim.Username(), Sim.Password(), "R9", "0821", "T", "Hi", "", 1);
        },
        [&] { Ws->Test("x"); },
    };
    ASSERT_EQ(26u, Calls.size());
    Ws->Send(T, Batch, false);  // message 1000001 and batch B1 exist for the lookups
    for (size_t I = 0; I < Calls.size(); ++I) {
        const std::string Failure = FailureOf(Calls[I]);
        const bool Unsupported =
            Failure.find("is not supported by the simulator") != std::string::npos;
        EXPECT_TRUE(Failure == "(no failure)" || Unsupported)
            << "operation " << I + 1 << ": " << Failure;
    }
    // The operation names reach the gateway in the SOAPAction too.
    EXPECT_EQ("\"http://vexo.gateway/Vexo.Webservice.Test\"", Sim.Requests(1).at(0).SoapAction);
}

TEST(GatewayEndpoint, EmptyAddressPostsToTheDefaultServicePath) {
    TGatewaySim Sim;
    auto Transport = std::make_shared<TSoapHttpClient>();
    // "localhost:80" is reached at the simulator's port; host and path stay the default ones.
    Transport->ConnectTo = {"localhost:80:127.0.0.1:" + std::to_string(Sim.Port())};
    auto Ws = GetIVexoWSSoap(false, "", Transport);
    EXPECT_EQ("http://localhost/csp/vexo/Vexo.Webservice.cls", Transport->URL);
    EXPECT_NE("", Ws->Login(Sim.Username(), Sim.Password()));
    const TSimRequest R = Sim.Requests(1).at(0);
    EXPECT_EQ("/csp/vexo/Vexo.Webservice.cls", R.Path);
    EXPECT_EQ("localhost", R.Host);
}

TEST(GatewayEndpoint, BindingThroughTheServiceDescriptionFindsThePortAddress) {
    TGatewaySim Sim;
    {
        auto Transport = std::make_shared<TSoapHttpClient>();
        Transport->ConnectTo = {"localhost:80:127.0.0.1:" + std::to_string(Sim.Port())};
        auto Ws = GetIVexoWSSoap(true, "", Transport);
        EXPECT_EQ("http://localhost/csp/vexo/Vexo.Webservice.CLS?WSDL=1", Transport->WSDLLocation);
        EXPECT_EQ("IVexoWS", Transport->Service);
        EXPECT_EQ("IVexoWSSoap", Transport->Port);
        EXPECT_NE("", Ws->Login(Sim.Username(), Sim.Password()));
        // The description names the simulator's own address as the endpoint.
        EXPECT_EQ(Sim.Url(), Transport->Endpoint());
        EXPECT_EQ("127.0.0.1:" + std::to_string(Sim.Port()), Sim.Requests(1).at(0).Host);
    }
    {
        auto Transport = std::make_shared<TSoapHttpClient>();
        auto Ws =
            GetIVexoWSSoap(true, Sim.BaseUrl() + "/csp/vexo/Vexo.Webservice.CLS?WSDL=1", Transport);
        Transport->Port = "OtherPort";
        EXPECT_EQ("Port 'OtherPort' of service 'IVexoWS' not found in the service description " +
                      Sim.BaseUrl() + "/csp/vexo/Vexo.Webservice.CLS?WSDL=1",
                  FailureOf([&] { Ws->Login(Sim.Username(), Sim.Password()); }));
    }
}

TEST(GatewayConnections, AThreadsCallsShareOneConnectionUntilATransferFails) {
    TGatewaySim Sim;
    auto NewSince = [&](const std::set<int>& Before) {
        size_t New = 0;
        for (int Port : ConnectionsTo(Sim.Port())) New += !Before.count(Port);
        return New;
    };
    // Every call takes a fresh client, as each attempt of a worker does; a gateway error is no
    // reason to leave the connection.
    Sim.Fault("Test", 1, "http500");
    std::set<int> Before = ConnectionsTo(Sim.Port());
    EXPECT_NE("", Client(Sim)->Login(Sim.Username(), Sim.Password()));
    EXPECT_EQ("The requested URL returned error: 500 Internal Server Error",
              FailureOf([&] { Client(Sim)->Test("a"); }));
    EXPECT_EQ(1, Client(Sim)->Test("a"));
    EXPECT_EQ(1u, NewSince(Before));
    std::thread([&] { EXPECT_EQ(1, Client(Sim)->Test("b")); }).join();
    EXPECT_EQ(2u, NewSince(Before));
    // A kept connection the gateway closed is replaced and the call sent again on the new one,
    // as HTTP clients do for a connection that turns out closed before any answer.
    Sim.Fault("Test", 1, "drop");
    Before = ConnectionsTo(Sim.Port());
    EXPECT_EQ(1, Client(Sim)->Test("a"));
    EXPECT_EQ(1, Client(Sim)->Test("a"));
    EXPECT_EQ(1u, NewSince(Before));
    // On a new connection that is the call's failure; the next attempt starts afresh.
    Sim.Fault("Test", 1, "drop");
    Before = ConnectionsTo(Sim.Port());
    std::thread([&] {
        EXPECT_EQ("Empty reply from server", FailureOf([&] { Client(Sim)->Test("a"); }));
        EXPECT_EQ(1, Client(Sim)->Test("a"));
        EXPECT_EQ(1, Client(Sim)->Test("a"));
    }).join();
    EXPECT_EQ(2u, NewSince(Before));
}

TEST(GatewayFailures, EachReplyTheClientCannotUseFailsWithItsOwnMessage) {
    TGatewaySim Sim;
    auto Ws = Client(Sim);
    auto LoginFailure = [&](const std::string& Kind) {
        Sim.Fault("Login", 1, Kind);
        return FailureOf([&] { Ws->Login(Sim.Username(), Sim.Password()); });
    };
    EXPECT_EQ("Simulated fault in Login", LoginFailure("fault"));
    EXPECT_EQ("The requested URL returned error: 500 Internal Server Error",
              LoginFailure("http500"));
    EXPECT_EQ(
        "Received content of invalid Content-Type setting: text/html; charset=UTF-8 - SOAP "
        "expects \"text/xml\"",
        LoginFailure("html"));
    EXPECT_EQ(
        "Received content of invalid Content-Type setting: text/plain - SOAP expects "
        "\"text/xml\"",
        LoginFailure("plain"));
    EXPECT_EQ("Start-end tags mismatch", LoginFailure("malformed"));
    EXPECT_EQ("Invalid SOAP Response", LoginFailure("noroot"));
    EXPECT_EQ(
        "DocumentElement http://schemas.xmlsoap.org/soap/envelope/:Envelope expected, :html "
        "found",
        LoginFailure("wrongroot"));
    EXPECT_EQ("Invalid SOAP response", LoginFailure("twobodies"));
    EXPECT_EQ("Invalid SOAP response", LoginFailure("twoheaders"));
    EXPECT_EQ(
        "SOAP Response Packet: result element expected, received \"<LoginResponse "
        "xmlns=\"http://vexo.gateway\"/>\"",
        LoginFailure("noresult"));
    // A kept connection that closes unanswered is tried once more on a new one; both go.
    Sim.Fault("Login", 2, "drop");
    EXPECT_EQ("Empty reply from server",
              FailureOf([&] { Ws->Login(Sim.Username(), Sim.Password()); }));
    // After the injected failures the gateway answers normally again.
    EXPECT_NE("", Ws->Login(Sim.Username(), Sim.Password()));
}

TEST(GatewayFailures, FaultsOfTheGatewayCarryTheirFaultString) {
    TGatewaySim Sim;
    auto Ws = Client(Sim);
    try {
        Ws->Login(Sim.Username(), "wrong");
        FAIL() << "logon with a wrong password succeeded";
    } catch (const ESOAPFault& F) {
        EXPECT_STREQ("Login failed: invalid username or password", F.what());
        EXPECT_EQ("soap:Client", F.FaultCode);
    }
    EXPECT_EQ("Invalid or expired token", FailureOf([&] { Ws->GetOSStatus("SIM-0-0", ""); }));
    const std::string Token = Ws->Login(Sim.Username(), Sim.Password());
    EXPECT_EQ(0, Ws->Logout(Token));
    EXPECT_EQ("Invalid or expired token", FailureOf([&] { Ws->GetStatus(Token); }));
}

TEST(GatewayFailures, TransportFailuresAndUnsupportedSchemes) {
    const std::string Closed = "http://127.0.0.1:" + std::to_string(ClosedPort()) + "/x";
    EXPECT_EQ(0u, FailureOf([&] {
                      GetIVexoWSSoap(false, Closed)->Login("u", "p");
                  }).rfind("Failed to connect to 127.0.0.1 port", 0));

    for (const std::string Url : {"ftp://127.0.0.1/csp/vexo/Vexo.Webservice.cls", "127.0.0.1:80/x"})
        EXPECT_EQ("Invalid url '" + Url + "' - only supports 'http' and 'https' schemes",
                  FailureOf([&] { GetIVexoWSSoap(false, Url)->Login("u", "p"); }));
    EXPECT_EQ("Invalid url 'file:///etc/passwd' - only supports 'http' and 'https' schemes",
              FailureOf([&] { GetIVexoWSSoap(true, "file:///etc/passwd")->Login("u", "p"); }));
}

TEST(GatewayFailures, AnHttpsGatewayIsTrustedThroughTheSystemStoreOrTheCAFileAlone) {
    // A certificate for the right address, signed by nobody the system trusts.
    TempDir Dir;
    ChildProcess MakeCertificate({"/usr/bin/openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                                  "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj",
                                  "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                                  "-keyout", Dir / "key.pem", "-out", Dir / "cert.pem"});
    ASSERT_EQ(0, MakeCertificate.Wait()) << MakeCertificate.Stderr();
    TCraftedServer Tls({"tls", Dir / "cert.pem", Dir / "key.pem"});
    EXPECT_EQ(
        "certificate of 127.0.0.1 not trusted: SSL certificate problem: self-signed "
        "certificate",
        FailureOf([&] { GetIVexoWSSoap(false, Tls.Url("https"))->Login("u", "p"); }));
    // The client went as far as the handshake and ended it there.
    EXPECT_EQ(0u, Tls.Process().WaitForStdoutLine("handshake").rfind("handshake failed", 0));
    // With the certificate as the CAFile the handshake is made (this server answers nothing).
    EXPECT_EQ(
        "Empty reply from server", FailureOf([&] {
            GetIVexoWSSoap(false, Tls.Url("https"), nullptr, Dir / "cert.pem")->Login("u", "p");
        }));
    EXPECT_TRUE(testsupport::WaitFor(
        [&] { return Tls.Process().Stdout().find("\nhandshake done\n") != std::string::npos; }));
}

TEST(GatewayFailures, ATransferWithoutProgressFailsAfterTheStallTime) {
    TGatewaySim Sim;
    auto Transport = std::make_shared<TSoapHttpClient>();
    Transport->StallTimeoutSeconds = 1;
    auto Ws = GetIVexoWSSoap(false, Sim.Url(), Transport);
    // The transfer rate is averaged over a few seconds, so the request's own bytes count for a
    // while; the answer comes far later than that.
    Sim.Fault("Login", 1, "delay", 15000);
    EXPECT_EQ(0u, FailureOf([&] {
                      Ws->Login(Sim.Username(), Sim.Password());
                  }).rfind("Operation too slow", 0));
    // A slow answer within the stall time is read normally.
    Sim.Fault("Login", 1, "delay", 200);
    EXPECT_NE("", Ws->Login(Sim.Username(), Sim.Password()));
}

TEST(GatewayResult, TheResultElementIsFoundWhateverItsName) {
    TGatewaySim Sim;
    auto Ws = Client(Sim);
    Sim.Fault("Login", 1, "renamed");  // the only child is <Unexpected>
    EXPECT_EQ(0u, Ws->Login(Sim.Username(), Sim.Password()).rfind("SIM-", 0));
    Sim.Fault("Login", 1, "multichild");  // <Info>, <return>, <Extra>: "return" is the result
    EXPECT_EQ(0u, Ws->Login(Sim.Username(), Sim.Password()).rfind("SIM-", 0));
    const std::string Token = Ws->Login(Sim.Username(), Sim.Password());
    Sim.Fault("GetStatus", 1, "multichild");
    EXPECT_EQ(1, Ws->GetStatus(Token));
    // A body without any element leaves the result empty.
    Sim.Fault("Login", 1, "emptybody");
    EXPECT_EQ("", Ws->Login(Sim.Username(), Sim.Password()));
    Sim.Fault("GetStatus", 1, "emptybody");
    EXPECT_EQ(0, Ws->GetStatus(Token));
    Sim.Fault("GetBatchInfoObject", 1, "emptybody");
    EXPECT_EQ(nullptr, Ws->GetBatchInfoObject(Token, "B1"));
}

TEST(GatewayRegistration, ActionsFollowThePatternInTheServiceNamespace) {
    const TSoapRegistration& R = VexoWSRegistration();
    EXPECT_EQ("http://vexo.gateway", R.Namespace);
    EXPECT_EQ("UTF-8", R.Encoding);
    EXPECT_TRUE(R.DocumentStyle);
    EXPECT_EQ("http://vexo.gateway/Vexo.Webservice.SendSMSMessageNS",
              R.SoapAction("SendSMSMessageNS"));
    ASSERT_EQ(26u, R.Operations.size());
    EXPECT_STREQ("GetBatchInfo", R.Operations.front().Name);
    EXPECT_STREQ("Test", R.Operations.back().Name);
    int Inline = 0;
    for (const auto& T : R.Types) Inline += T.Inline;
    EXPECT_EQ(1, Inline);
    EXPECT_TRUE(R.Types.at(6).Inline);
    EXPECT_STREQ("ArrayOfRuleProcRuleProcess", R.Types.at(6).XmlTypeName);
}

namespace {

std::string Envelope(const std::string& Body) {
    return "<?xml version=\"1.0\"?><soap:Envelope "
           "xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\"><soap:Body>" +
           Body + "</soap:Body></soap:Envelope>";
}

}  // namespace

TEST(GatewayReplies, AnyPrefixesAndCdataAreReadThroughTheirNamespaces) {
    TGatewaySim Sim;
    auto Ws = Client(Sim);
    Sim.RawReply(
        "Login",
        "<?xml version=\"1.0\"?>\n<e:Envelope "
        "xmlns:e=\"http://schemas.xmlsoap.org/soap/envelope/\"><e:Header><x/></e:Header>"
        "<b:Body xmlns:b=\"http://schemas.xmlsoap.org/soap/envelope/\"><v:LoginResponse "
        "xmlns:v=\"http://vexo.gateway\"><v:LoginResult><![CDATA[<tok&en>]]></v:LoginResult>"
        "</v:LoginResponse></b:Body></e:Envelope>",
        200, "text/xml; charset=utf-8");
    EXPECT_EQ("<tok&en>", Ws->Login("u", "p"));
    // A reply in UTF-16 with its byte order mark; "#" stands for U+00E9.
    std::string Utf16 = "\xFF\xFE";
    for (char C :
         Envelope("<LoginResponse xmlns=\"http://vexo.gateway\"><r>caf#</r></LoginResponse>")) {
        Utf16 += C == '#' ? '\xE9' : C;
        Utf16 += '\0';
    }
    Sim.RawReply("Login", Utf16);
    EXPECT_EQ("caf\xC3\xA9", Ws->Login("u", "p"));
}

TEST(GatewayReplies, CraftedRepliesFailWithTheTableMessages) {
    TGatewaySim Sim;
    auto Ws = Client(Sim);
    auto Failure = [&](const std::string& Body, int Status = 200,
                       const std::string& Type = "text/xml") {
        Sim.RawReply("GetStatus", Body, Status, Type);
        return FailureOf([&] { Ws->GetStatus("t"); });
    };
    EXPECT_EQ(
        "DocumentElement http://schemas.xmlsoap.org/soap/envelope/:Envelope expected, "
        "http://www.w3.org/2003/05/soap-envelope:Envelope found",
        Failure("<env:Envelope xmlns:env=\"http://www.w3.org/2003/05/soap-envelope\">"
                "<env:Body/></env:Envelope>"));
    EXPECT_EQ("The requested URL returned error: 404 Not Found",
              Failure("<html><body>no such page</body></html>", 404, "text/html"));
    EXPECT_EQ("The requested URL returned error: 503 Service Unavailable",
              Failure("", 503, "text/xml"));
    // A fault is read whatever the status it comes with; without a faultstring its code stands.
    EXPECT_EQ("Busy", Failure(Envelope("<soap:Fault><faultcode>soap:Server</faultcode>"
                                       "<faultstring>Busy</faultstring></soap:Fault>")));
    EXPECT_EQ(
        "soap:Server",
        Failure(Envelope("<soap:Fault><faultcode>soap:Server</faultcode></soap:Fault>"), 500));
    EXPECT_EQ("'abc' is not a valid integer value",
              Failure(Envelope("<R xmlns=\"http://vexo.gateway\"><v>abc</v></R>")));
    // One sign at most: "+-5" is not -5.
    EXPECT_EQ("'+-5' is not a valid integer value",
              Failure(Envelope("<R xmlns=\"http://vexo.gateway\"><v>+-5</v></R>")));
    EXPECT_EQ("'--5' is not a valid integer value",
              Failure(Envelope("<R xmlns=\"http://vexo.gateway\"><v>--5</v></R>")));
    Sim.RawReply("GetStatus", Envelope("<R xmlns=\"http://vexo.gateway\"><v>+7</v></R>"));
    EXPECT_EQ(7, Ws->GetStatus("t"));
    Sim.RawReply("GetStatus", Envelope("<R xmlns=\"http://vexo.gateway\"><v>-7</v></R>"));
    EXPECT_EQ(-7, Ws->GetStatus("t"));
    EXPECT_EQ("Invalid SOAP Response", Failure("<?xml version=\"1.0\"?><!-- nothing -->"));
    // A content type the table does not name is read as XML.
    Sim.RawReply("GetStatus", Envelope("<R xmlns=\"http://vexo.gateway\"><v> 42 </v></R>"), 200,
                 "application/soap+xml");
    EXPECT_EQ(42, Ws->GetStatus("t"));
}

TEST(GatewayReplies, AReplyThatIsNotOneEnvelopeWithABodyOfTextFailsTheCall) {
    TGatewaySim Sim;
    auto Ws = Client(Sim);
    auto SendFailure = [&](const std::string& Body) {
        Sim.RawReply("Send", Body);
        return FailureOf([&] { Ws->Send("t", kBatch, false); });
    };
    const std::string Good = Envelope(
        "<SendResponse xmlns=\"http://vexo.gateway\"><SendResult>B1</SendResult></SendResponse>");
    EXPECT_EQ("Invalid SOAP response: content after the envelope", SendFailure(Good + "<more/>"));
    EXPECT_EQ("Invalid SOAP response: content after the envelope",
              SendFailure(Good + Good.substr(Good.find("<soap:Envelope"))));
    EXPECT_EQ("Invalid SOAP response: text outside the envelope", SendFailure(Good + "x"));
    EXPECT_EQ("Invalid SOAP response: a NUL character in the reply",
              SendFailure(Good + std::string(1, '\0') + "<more/>"));
    // A Body in another namespace is no SOAP Body, nor is one outside the envelope.
    EXPECT_EQ(
        "Invalid SOAP response: no http://schemas.xmlsoap.org/soap/envelope/:Body in the envelope",
        SendFailure("<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\">"
                    "<Body><SendResponse><SendResult>B1</SendResult></SendResponse></Body>"
                    "</soap:Envelope>"));
    EXPECT_EQ(
        "Invalid SOAP response: no http://schemas.xmlsoap.org/soap/envelope/:Body in the envelope",
        SendFailure("<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"/>"));
    // Markup where the text of a result belongs.
    EXPECT_EQ(
        "SOAP Response Packet: text result expected, received \"<SendResult>B<BatchInfo/>"
        "</SendResult>\"",
        SendFailure(Envelope("<SendResponse xmlns=\"http://vexo.gateway\"><SendResult>B"
                             "<BatchInfo/></SendResult></SendResponse>")));
    // Comments and blanks after the envelope are allowed.
    Sim.RawReply("Send", Good + "<!-- end -->\n");
    EXPECT_EQ("B1", Ws->Send("t", kBatch, false));
}

TEST(GatewayReplies, NamespacesAreResolvedInTimeLinearInTheReply) {
    // An envelope of N attributes and N Body children of another namespace: 750 KB and 8 MB.
    TGatewaySim Sim;
    auto Ws = Client(Sim);
    for (int N : {40000, 430000}) {
        // The children's prefix is declared last, behind all the other attributes.
        std::string Reply =
            "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\"";
        for (int I = 0; I < N; ++I) Reply += " a" + std::to_string(I) + "=\"\"";
        Reply += " xmlns:x=\"urn:other\">";
        for (int I = 0; I < N; ++I) Reply += "<x:Body/>";
        Reply += "</soap:Envelope>";
        Sim.RawReply("Login", Reply);
        EXPECT_EQ(
            "Invalid SOAP response: no http://schemas.xmlsoap.org/soap/envelope/:Body in the "
            "envelope",
            FailureOf([&] { Ws->Login("u", "p"); }));
    }
}

TEST(GatewayReplies, HugeRepliesAreRefusedWithinTheMemoryLimit) {
    // 200 MB of empty elements would need gigabytes as a document; 300 MB is over the limit,
    // whether announced or found out on the way.
    const std::string Head =
        "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\"><soap:Body>";
    const std::string Tail = "</soap:Body></soap:Envelope>";
    TCraftedServer Empty({"reply", Head, "<a/>", "50000000", Tail});
    EXPECT_EQ("The reply needs more than 268435456 bytes of memory to read",
              FailureOf([&] { GetIVexoWSSoap(false, Empty.Url("http"))->Login("u", "p"); }));
    for (const char* Framing : {"sized", "unsized"}) {
        TCraftedServer Large({"reply", Head, "<a/>", "75000000", Tail, Framing});
        EXPECT_EQ("The reply is larger than 268435456 bytes",
                  FailureOf([&] { GetIVexoWSSoap(false, Large.Url("http"))->Login("u", "p"); }));
    }
}

TEST(GatewayReplies, EntitiesOfADocumentTypeAreNeverExpanded) {
    TGatewaySim Sim;
    auto Ws = Client(Sim);
    Sim.RawReply("Login",
                 "<?xml version=\"1.0\"?><!DOCTYPE soap:Envelope [<!ENTITY a \"aaaaaaaaaa\">"
                 "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">"
                 "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\">]>" +
                     Envelope("<LoginResponse xmlns=\"http://vexo.gateway\"><r>&c;</r>"
                              "</LoginResponse>")
                         .substr(21));
    EXPECT_EQ("&c;", Ws->Login("u", "p"));
}

TEST(GatewayReplies, DamagedRepliesFailCleanly) {
    // Every cut of a good reply, and every byte of it replaced, either reads or fails with a
    // gateway error: no other exception, no crash, no hang.
    TGatewaySim Sim;
    auto Ws = Client(Sim);
    const std::string Good = Envelope(
        "<LoginResponse xmlns=\"http://vexo.gateway\"><LoginResult>SIM-1</LoginResult>"
        "</LoginResponse>");
    int Failed = 0, Read = 0;
    auto Try = [&](const std::string& Body) {
        Sim.RawReply("Login", Body);
        try {
            Ws->Login("u", "p");
            ++Read;
        } catch (const ESOAPError&) {
            ++Failed;
        }
    };
    for (size_t Cut = 0; Cut < Good.size(); Cut += 3) Try(Good.substr(0, Cut));
    for (size_t At = 0; At < Good.size(); At += 2) {
        std::string Bad = Good;
        Bad[At] = char(Bad[At] ^ 0x5A);
        Try(Bad);
    }
    EXPECT_GT(Failed, 0);
    EXPECT_GT(Read, 0);  // e.g. a changed character inside the token
}
