// The gateway simulator as a separate process, with the real client, the client SDK and the
// document bindings: a batch's round trip, the statuses and replies it leads to, the documents'
// odd forms, a batch of 100,000 messages, and the simulator's own lifetime.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/types.h>

#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "config/uXMLBinding.h"
#include "gateway/uVexoOSReplies.h"
#include "gateway/uVexoOSStatus.h"
#include "gateway/uVexocspWS.h"
#include "support/Util.h"
#include "tests/GatewaySim.h"
#include "worker/VexoClientSDK_TLB.h"
#include "worker/uVexoClientUtils.h"

using namespace testsupport;

namespace {

template <typename Interface>
std::shared_ptr<Interface> New(const char* ClassName) {
    auto Object = std::dynamic_pointer_cast<Interface>(CreateClientObject(ClassName));
    if (!Object) throw std::runtime_error(std::string("cannot create ") + ClassName);
    return Object;
}

struct TMsg {
    std::string Protocol, Address, Reference, Type, Text;
};

// A batch built through the SDK objects the way the worker builds it: one recipient per message.
std::string BatchXml(const std::string& BatchName, const std::vector<TMsg>& Messages) {
    auto Sender = CoSender::Create();
    Sender->SetName("Org");
    Sender->SetEmail("org@example.com");
    Sender->SetCellNo("0820000000");
    Sender->SetFaxNo("0110000000");
    auto Batch = New<IBatchRequest>("BatchRequest");
    Batch->SetBatchName(BatchName);
    Batch->SetSender(Sender);
    for (const TMsg& M : Messages) {
        auto Message = New<IMessageRequest>("MessageRequest");
        auto Override = New<IOverrideProtocol>("OverrideProtocol");
        auto Recipient = New<IRecipient>("Recipient");
        Recipient->SetCellNo(M.Protocol == "SMS" ? M.Address : "");
        Recipient->SetEmail(M.Protocol == "EMAIL" ? M.Address : "");
        Recipient->SetFaxNo(M.Protocol == "FAX" ? M.Address : "");
        Message->AddRecipient(Recipient);
        Override->SetFlag(-1);
        Override->SetProtocolName(M.Protocol);
        Override->SetMessageType(M.Type);
        Override->SetMessageText(M.Text);
        Message->SetReference(M.Reference);
        Message->SetDateTime("2004-12-24 21:00:00");
        Message->SetBatchName(BatchName);
        Message->SetFlag(-1);
        Message->SetOverrideProtocol(Override);
        Message->SetPriority(1);
        Batch->AddMessageRequest(Message);
    }
    return Batch->GetXML();
}

std::vector<int64_t> MessageIDs(const std::string& Reply) {
    auto Info = CoBatchInfo::Create();
    Info->SetReplyText(Reply);
    auto Items = Info->GetItems();
    std::vector<int64_t> Ids;
    for (int32_t I = 0; I < Items->GetCount(); ++I)
        Ids.push_back(Items->GetItem(I)->GetMessageID());
    return Ids;
}

std::shared_ptr<IXMLVexoMessageStatusListType> StatusList(const std::string& GatewayText) {
    return GetVexoMessageStatusList(NewXMLDocument(UnwrapCDATA(GatewayText)));
}

std::shared_ptr<IXMLVexoReplyListType> ReplyList(const std::string& GatewayText) {
    return GetVexoReplyList(NewXMLDocument(UnwrapCDATA(GatewayText)));
}

bool ProcessGone(pid_t Pid) {
    const std::string Stat = ReadFile("/proc/" + std::to_string(Pid) + "/stat");
    // Gone, or a zombie nobody reaped yet.
    return Stat.empty() || Stat.find(") Z ") != std::string::npos;
}

}  // namespace

TEST(GatewayRoundTrip, BatchOfThreeGetsIdentifiersInOrderThenStatusesAndOneReplyEach) {
    TGatewaySim Sim;
    auto Ws = GetIVexoWSSoap(false, Sim.Url(), nullptr);
    const std::string Token = Ws->Login(Sim.Username(), Sim.Password());
    const std::vector<TMsg> Sent = {
        {"SMS", "0821234567", "R1", "TEXT", "Hello, world & more"},
        {"EMAIL", "a@b.example", "R2", "MAIL", "Line one\nline two"},
        {"FAX", "0111234567", "R]]>\"3\xC3\xA9", "FAX", "<fax/>"},
    };
    const std::string Reply = Ws->Send(Token, BatchXml("ABC", Sent), false);
    ASSERT_EQ(0u, Reply.rfind("<![CDATA[", 0));  // the simulator wraps its documents
    const std::vector<int64_t> Ids = MessageIDs(UnwrapCDATA(Reply));
    // The answer is the batch's document, byte for byte as the shared writer makes it.
    EXPECT_EQ(UnwrapCDATA(Ws->GetBatchInfo(Token, "B1")), UnwrapCDATA(Reply));

    const std::vector<TSimMessage> Received = Sim.Messages();
    ASSERT_EQ(3u, Ids.size());
    ASSERT_EQ(3u, Received.size());
    EXPECT_LT(Ids[0], Ids[1]);
    EXPECT_LT(Ids[1], Ids[2]);
    for (size_t I = 0; I < 3; ++I) {
        EXPECT_EQ(Ids[I], Received[I].ReqID);
        EXPECT_EQ("ABC", Received[I].BatchName);
        EXPECT_EQ(Sent[I].Protocol, Received[I].Protocol);
        EXPECT_EQ(Sent[I].Address, Received[I].Address);
        EXPECT_EQ(Sent[I].Reference, Received[I].Reference);
        EXPECT_EQ(Sent[I].Type, Received[I].MessageType);
        EXPECT_EQ(Sent[I].Text, Received[I].Text);
    }
    EXPECT_EQ(std::to_string(Ids[0]) + ",ABC,SMS,0821234567,R1,TEXT,Hello\\, world & more",
              Lines(Sim.MessagesCsv()).at(0));

    // Every message's status once, with what the collection writes into its lines.
    auto Statuses = StatusList(Ws->GetOSStatus(Token, ""));
    ASSERT_EQ(3, Statuses->GetCount());
    for (int I = 0; I < 3; ++I) {
        auto S = Statuses->GetItem(I);
        EXPECT_EQ("2", S->GetStatus());
        EXPECT_EQ("Delivered", S->GetStatText());
        EXPECT_NE("", S->GetStatTime());
        EXPECT_EQ(std::to_string(Ids[I]), S->GetMsgIdent()->GetReqID());
        EXPECT_EQ(Sent[I].Reference, S->GetMsgIdent()->GetRef());
        EXPECT_EQ(Sent[I].Protocol, S->GetMsgIdent()->GetProt());
        EXPECT_EQ(Sent[I].Address, S->GetMsgIdent()->GetRcpt());
        EXPECT_EQ("ABC", S->GetMsgIdent()->GetClientApp());
    }
    EXPECT_EQ(0, StatusList(Ws->GetOSStatus(Token, ""))->GetCount());

    // The first message gets a reply, from the handset's number in international form.
    auto Replies = ReplyList(Ws->GetOSReplies(Token, ""));
    ASSERT_EQ(1, Replies->GetCount());
    EXPECT_EQ("27821234567", Replies->GetItem(0)->GetOriginator());
    EXPECT_EQ("Reply to R1", Replies->GetItem(0)->GetReplyMsg());
    EXPECT_EQ("SMS", Replies->GetItem(0)->GetProt());
    EXPECT_NE("", Replies->GetItem(0)->GetRecTime());
    EXPECT_EQ(std::to_string(Ids[0]), Replies->GetItem(0)->GetMsgIdent()->GetReqID());
    EXPECT_EQ("R1", Replies->GetItem(0)->GetMsgIdent()->GetRef());
    EXPECT_EQ("ABC", Replies->GetItem(0)->GetMsgIdent()->GetClientApp());
    EXPECT_EQ(0, ReplyList(Ws->GetOSReplies(Token, ""))->GetCount());
}

TEST(GatewayRoundTrip, StatusesAreKeptForOtherClientApplications) {
    TGatewaySim Sim;
    auto Ws = GetIVexoWSSoap(false, Sim.Url(), nullptr);
    const std::string Token = Ws->Login(Sim.Username(), Sim.Password());
    Ws->Send(Token, BatchXml("ONE", {{"SMS", "0821111111", "A", "T", "x"}}), false);
    Ws->Send(Token, BatchXml("TWO", {{"SMS", "0822222222", "B", "T", "y"}}), false);
    auto Two = StatusList(Ws->GetOSStatus(Token, "TWO"));
    ASSERT_EQ(1, Two->GetCount());
    EXPECT_EQ("B", Two->GetItem(0)->GetMsgIdent()->GetRef());
    auto Rest = StatusList(Ws->GetOSStatus(Token, ""));
    ASSERT_EQ(1, Rest->GetCount());
    EXPECT_EQ("A", Rest->GetItem(0)->GetMsgIdent()->GetRef());
}

TEST(GatewayRoundTrip, StructuredResultsAreReadMemberByMember) {
    TGatewaySim Sim;
    auto Ws = GetIVexoWSSoap(false, Sim.Url(), nullptr);
    const std::string Token = Ws->Login(Sim.Username(), Sim.Password());
    const std::vector<int64_t> Ids = MessageIDs(UnwrapCDATA(Ws->Send(
        Token,
        BatchXml("XYZ", {{"SMS", "0821234567", "R1", "T", "a"}, {"FAX", "", "R2", "T", "b"}}),
        false)));
    ASSERT_EQ(2u, Ids.size());

    std::unique_ptr<BatchInfo> Info = Ws->GetBatchInfoObject(Token, "B1");
    ASSERT_TRUE(Info);
    EXPECT_EQ(1, Info->BatchID);
    EXPECT_EQ("B1", Info->BatchNo);
    EXPECT_NE("", Info->RecTime);
    ASSERT_EQ(2u, Info->RqstList.size());
    EXPECT_EQ(Ids[0], Info->RqstList[0]->ReqID);
    EXPECT_EQ("R1", Info->RqstList[0]->Ref);
    ASSERT_TRUE(Info->RqstList[0]->Rcpt);
    EXPECT_EQ("0821234567", Info->RqstList[0]->Rcpt->CellNo);
    EXPECT_EQ(Ids[1], Info->RqstList[1]->ReqID);
    // The text form names the same batch.
    EXPECT_EQ(Ids, MessageIDs(UnwrapCDATA(Ws->GetBatchInfo(Token, "B1"))));

    // RuleProc items sit directly inside RuleProcLog on the wire.
    std::unique_ptr<RequestLog> Log = Ws->GetRequestLogObject(Token, Ids[1]);
    ASSERT_TRUE(Log);
    EXPECT_EQ(Ids[1], Log->ReqID);
    EXPECT_EQ(5, Log->Status);  // no address: failed
    ASSERT_TRUE(Log->RuleProcLog);
    ASSERT_EQ(2u, Log->RuleProcLog->RuleProc.size());
    const RuleProcess& First = *Log->RuleProcLog->RuleProc[0];
    EXPECT_EQ(Ids[1], First.MsgID);
    EXPECT_EQ("Route", First.Rule);
    EXPECT_EQ("FAX", First.Prot);
    EXPECT_TRUE(First.Gened);
    EXPECT_FALSE(Log->RuleProcLog->RuleProc[1]->Gened);
    EXPECT_EQ("No address", Log->RuleProcLog->RuleProc[1]->LogTxt);
}

TEST(GatewayDocuments, RawStatusAndReplyTextsReachTheBindingsInEveryForm) {
    TGatewaySim Sim;
    auto Ws = GetIVexoWSSoap(false, Sim.Url(), nullptr);
    const std::string Token = Ws->Login(Sim.Username(), Sim.Password());

    // CDATA-wrapped, with a MsgStat lacking its MsgIdent and an item of another name.
    Sim.SetOSStatus(
        "<![CDATA[<VexoMessageStatusList><MsgStat StatTime=\"t1\" StatText=\"Sent\" "
        "Status=\"1\"><MsgIdent MsgID=\"9\" ReqID=\"501\" Ref=\"R1\" Prot=\"sms\" "
        "Rcpt=\"0821234567\" ClientApp=\"ABC\"/></MsgStat><Other/><MsgStat Status=\"3\"/>"
        "</VexoMessageStatusList>]]>");
    auto List = StatusList(Ws->GetOSStatus(Token, ""));
    ASSERT_EQ(2, List->GetCount());
    EXPECT_EQ("501", List->GetItem(0)->GetMsgIdent()->GetReqID());
    EXPECT_EQ("sms", List->GetItem(0)->GetMsgIdent()->GetProt());
    EXPECT_EQ("3", List->GetItem(1)->GetStatus());
    for (const std::string& V :
         {List->GetItem(1)->GetMsgIdent()->GetReqID(), List->GetItem(1)->GetMsgIdent()->GetRef(),
          List->GetItem(1)->GetMsgIdent()->GetProt(), List->GetItem(1)->GetMsgIdent()->GetRcpt(),
          List->GetItem(1)->GetMsgIdent()->GetClientApp()})
        EXPECT_EQ("", V);

    // The empty text: no entries and no failure.
    Sim.SetOSStatus("");
    EXPECT_EQ(0, StatusList(Ws->GetOSStatus(Token, ""))->GetCount());
    Sim.SetOSReplies("");
    EXPECT_EQ(0, ReplyList(Ws->GetOSReplies(Token, ""))->GetCount());

    // A reply document given to the status list, and the reverse.
    Sim.SetOSStatus("<VexoReplyList><ReplyDet Prot=\"SMS\"/></VexoReplyList>");
    const std::string ReplyDoc = Ws->GetOSStatus(Token, "");
    try {
        StatusList(ReplyDoc);
        FAIL() << "a reply document was read as a status list";
    } catch (const EXMLInterfaceError& E) {
        EXPECT_STREQ("Interface not supported", E.what());
    }
    Sim.SetOSReplies("<VexoMessageStatusList/>");
    EXPECT_THROW(ReplyList(Ws->GetOSReplies(Token, "")), EXMLInterfaceError);

    // A plain (unwrapped) reply document with a comma in its text.
    Sim.SetOSReplies(
        "<VexoReplyList><ReplyDet Prot=\" SMS \" ReplyMsg=\"Yes, please\" Seq=\"4\" RecTime=\"t\" "
        "Originator=\"+27821234567\"><MsgIdent ReqID=\"7\" Ref=\"R\" ClientApp=\"C\"/>"
        "</ReplyDet></VexoReplyList>");
    auto Replies = ReplyList(Ws->GetOSReplies(Token, ""));
    ASSERT_EQ(1, Replies->GetCount());
    EXPECT_EQ("Yes, please", Replies->GetItem(0)->GetReplyMsg());
    EXPECT_EQ(" SMS ", Replies->GetItem(0)->GetProt());
    EXPECT_EQ("+27821234567", Replies->GetItem(0)->GetOriginator());

    // A gateway error text that is not XML fails in the parser.
    Sim.SetOSStatus("<VexoMessageStatusList><MsgStat>");
    EXPECT_THROW(StatusList(Ws->GetOSStatus(Token, "")), EXMLParseError);
    // The raw text is used once; the simulated entries come back afterwards.
    EXPECT_EQ(0, StatusList(Ws->GetOSStatus(Token, ""))->GetCount());
}

TEST(GatewayScale, ABatchOf100000MessagesGoesThroughInOneRoundTrip) {
    constexpr int kMessages = 100000;
    TGatewaySim Sim;
    auto Ws = GetIVexoWSSoap(false, Sim.Url(), nullptr);
    const std::string Token = Ws->Login(Sim.Username(), Sim.Password());
    std::vector<TMsg> Sent;
    Sent.reserve(kMessages);
    for (int I = 0; I < kMessages; ++I)
        Sent.push_back({"SMS", "082" + std::to_string(1000000 + I), "REF" + std::to_string(I),
                        "TEXT", "Dear customer, order " + std::to_string(I) + " is ready."});
    const std::string Reply = Ws->Send(Token, BatchXml("BIG", Sent), false);
    const std::vector<int64_t> Ids = MessageIDs(UnwrapCDATA(Reply));
    ASSERT_EQ(size_t(kMessages), Ids.size());
    EXPECT_EQ(UnwrapCDATA(Ws->GetBatchInfo(Token, "B1")), UnwrapCDATA(Reply));
    for (size_t I = 1; I < Ids.size(); ++I) ASSERT_EQ(Ids[I - 1] + 1, Ids[I]);

    const std::vector<TSimMessage> Received = Sim.Messages();
    ASSERT_EQ(size_t(kMessages), Received.size());
    EXPECT_EQ(Ids.back(), Received.back().ReqID);
    EXPECT_EQ("REF99999", Received.back().Reference);
    EXPECT_EQ("0821099999", Received.back().Address);

    auto Statuses = StatusList(Ws->GetOSStatus(Token, ""));
    ASSERT_EQ(kMessages, Statuses->GetCount());
    EXPECT_EQ("REF99999", Statuses->GetItem(kMessages - 1)->GetMsgIdent()->GetRef());
    EXPECT_EQ((kMessages + 2) / 3, ReplyList(Ws->GetOSReplies(Token, ""))->GetCount());
}

TEST(GatewaySimulator, RefusesUnknownControlRequests) {
    TGatewaySim Sim;
    auto Fault = [&](const std::string& Query) {
        return HttpRequest("POST", Sim.BaseUrl() + "/control/fault?" + Query).Status;
    };
    EXPECT_EQ(400, Fault("op=Login&count=1&kind=explode"));
    EXPECT_EQ(400, Fault("op=Logon&count=1&kind=fault"));
    EXPECT_EQ(200, Fault("op=*&count=2&kind=plain"));
    auto Ws = GetIVexoWSSoap(false, Sim.Url(), nullptr);
    EXPECT_THROW(Ws->Test("a"), ESOAPError);
    EXPECT_THROW(Ws->Login(Sim.Username(), Sim.Password()), ESOAPError);
    EXPECT_EQ(1, Ws->Test("a"));
    // A count of 0 clears what was armed.
    EXPECT_EQ(200, Fault("op=Test&count=5&kind=fault"));
    EXPECT_EQ(200, Fault("op=Test&count=0&kind=fault"));
    EXPECT_EQ(1, Ws->Test("a"));
}

TEST(GatewaySimulator, RefusesRequestsThatAreNotThePortsSoap) {
    TGatewaySim Sim;
    auto Post = [&](const std::string& Action, const std::string& Type, const std::string& Body) {
        auto R = HttpRequest("POST", Sim.Url(), Body,
                             {"SOAPAction: " + Action, "Content-Type: " + Type});
        EXPECT_EQ(500, R.Status);
        return R.Body;
    };
    const std::string Env =
        "<e:Envelope xmlns:e=\"http://schemas.xmlsoap.org/soap/envelope/\"><e:Body>";
    const std::string Login = Env +
                              "<Login xmlns=\"http://vexo.gateway\"><Password>p</Password>"
                              "<Username>u</Username></Login></e:Body></e:Envelope>";
    const std::string Action = "\"http://vexo.gateway/Vexo.Webservice.Login\"";
    EXPECT_NE(std::string::npos,
              Post(Action, "text/xml", Login).find("Unexpected parameter Password"));
    EXPECT_NE(std::string::npos,
              Post("\"http://vexo.gateway/Vexo.Webservice.Test\"", "text/xml", Login)
                  .find("does not match operation Login"));
    EXPECT_NE(std::string::npos, Post(Action, "application/xml", Login).find("is not text/xml"));
    EXPECT_NE(std::string::npos,
              Post(Action, "text/xml",
                   Env + "<Login><Username>u</Username><Password>p</Password></Login></e:Body>"
                         "</e:Envelope>")
                  .find("must be in namespace http://vexo.gateway"));
    EXPECT_NE(std::string::npos,
              Post("\"http://vexo.gateway/Vexo.Webservice.Send\"", "text/xml",
                   Env + "<Send xmlns=\"http://vexo.gateway\"><Token>t</Token><XMLStream/>"
                         "<Compressed>no</Compressed></Send></e:Body></e:Envelope>")
                  .find("Parameter Compressed of Send has an invalid value 'no'"));
}

TEST(GatewaySimulator, CountsConnectionsAndCallsForClientsThatKeepTheirConnection) {
    TGatewaySim Sim;
    const std::string Call =
        "<e:Envelope xmlns:e=\"http://schemas.xmlsoap.org/soap/envelope/\"><e:Body><Test "
        "xmlns=\"http://vexo.gateway\"><Testval>abc</Testval></Test></e:Body></e:Envelope>";
    const std::vector<std::string> Headers = {
        "SOAPAction: \"http://vexo.gateway/Vexo.Webservice.Test\"", "Content-Type: text/xml"};
    // More calls over one connection than servers commonly allow, then one on a new connection.
    THttpConnection Kept;
    for (int I = 0; I < 12; ++I) {
        const THttpResult R = Kept.Request("POST", Sim.Url(), Call, Headers);
        ASSERT_EQ(200, R.Status) << R.Body;
        ASSERT_NE(std::string::npos, R.Body.find("<TestResult>3</TestResult>")) << R.Body;
    }
    EXPECT_EQ(200, HttpRequest("POST", Sim.Url(), Call, Headers).Status);
    EXPECT_EQ(404, HttpRequest("GET", Sim.BaseUrl() + "/control/none").Status);

    const TSimStats S = Sim.Stats();
    EXPECT_EQ(2, S.SoapConnections);
    EXPECT_EQ(13, S.SoapRequests);
    EXPECT_EQ(4, S.Connections);  // the two, the 404 and the one asking
    EXPECT_EQ(15, S.Requests);
}

TEST(GatewaySimulator, StopsOnSigtermAndWhenItsParentEnds) {
    {
        TGatewaySim Sim;
        Sim.Process().Signal(SIGTERM);
        EXPECT_EQ(0, Sim.Process().Wait());
    }
    TempDir Dir;
    const std::string Out = Dir / "sim.out";
    // A shell starts the simulator in the background, waits until it is ready, and ends.
    ChildProcess Shell({"/bin/sh", "-c",
                        "'" + BuildDir() + "/vexo-gateway-sim' --port 0 >'" + Out +
                            "' 2>&1 & echo $!; while ! grep -q listening '" + Out +
                            "'; do sleep 0.05; done"});
    ASSERT_EQ(0, Shell.Wait());
    const pid_t Pid = std::stoi(Shell.Stdout());
    ASSERT_GT(Pid, 0);
    EXPECT_TRUE(WaitFor([&] { return ProcessGone(Pid); }));
    if (!ProcessGone(Pid)) kill(Pid, SIGKILL);
}
