// The gateway round trip at scale against the simulator process on 127.0.0.1: building a batch
// through the SDK objects, sending it with Send (envelope, HTTP both ways, the simulator's work,
// reading the reply), reading the BatchInfo reply into message identifiers, and reading an
// outstanding-status document through the bindings. Rates are messages per second; they should
// not fall as the batch grows.
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <string>

#include "config/uXMLBinding.h"
#include "gateway/uVexoOSStatus.h"
#include "gateway/uVexocspWS.h"
#include "support/Util.h"
#include "tests/GatewaySim.h"
#include "worker/VexoClientSDK_TLB.h"
#include "worker/uVexoClientUtils.h"

namespace {

using Clock = std::chrono::steady_clock;

template <typename Interface>
std::shared_ptr<Interface> New(const char* ClassName) {
    return std::dynamic_pointer_cast<Interface>(CreateClientObject(ClassName));
}

std::string BuildBatchXml(int64_t Count) {
    auto Sender = CoSender::Create();
    Sender->SetName("Bench Org");
    auto Batch = New<IBatchRequest>("BatchRequest");
    Batch->SetBatchName("BENCH");
    Batch->SetSender(Sender);
    for (int64_t I = 0; I < Count; ++I) {
        auto Message = New<IMessageRequest>("MessageRequest");
        auto Override = New<IOverrideProtocol>("OverrideProtocol");
        auto Recipient = New<IRecipient>("Recipient");
        Recipient->SetCellNo("082" + std::to_string(1000000 + I));
        Message->AddRecipient(Recipient);
        Override->SetFlag(-1);
        Override->SetProtocolName("SMS");
        Override->SetMessageType("TEXT");
        Override->SetMessageText("Dear customer, your order " + std::to_string(I) +
                                 " is ready for collection & payment <today>.");
        Message->SetReference("REF" + std::to_string(I));
        Message->SetDateTime("2004-12-24 21:00:00");
        Message->SetBatchName("BENCH");
        Message->SetFlag(-1);
        Message->SetOverrideProtocol(Override);
        Message->SetPriority(1);
        Batch->AddMessageRequest(Message);
    }
    return Batch->GetXML();
}

double Seconds(Clock::time_point From, Clock::time_point To) {
    return std::chrono::duration<double>(To - From).count();
}

// Build, send and read one batch per iteration; each stage reported as its own rate.
void BM_BatchRoundTrip(benchmark::State& State) {
    const int64_t Count = State.range(0);
    testsupport::TGatewaySim Sim;
    auto Ws = GetIVexoWSSoap(false, Sim.Url(), nullptr);
    const std::string Token = Ws->Login(Sim.Username(), Sim.Password());
    double Build = 0, Send = 0, Read = 0;
    size_t Bytes = 0;
    for (auto _ : State) {
        const auto T0 = Clock::now();
        const std::string Xml = BuildBatchXml(Count);
        const auto T1 = Clock::now();
        const std::string Reply = Ws->Send(Token, Xml, false);
        const auto T2 = Clock::now();
        auto Info = CoBatchInfo::Create();
        Info->SetReplyText(UnwrapCDATA(Reply));
        auto Items = Info->GetItems();
        if (Items->GetCount() != Count) State.SkipWithError("wrong number of reply items");
        benchmark::DoNotOptimize(Items->GetItem(int32_t(Count - 1))->GetMessageID());
        const auto T3 = Clock::now();
        Build += Seconds(T0, T1);
        Send += Seconds(T1, T2);
        Read += Seconds(T2, T3);
        Bytes += Xml.size() + Reply.size();
    }
    const double N = double(Count) * double(State.iterations());
    State.counters["build_msg_per_s"] = N / Build;
    State.counters["send_msg_per_s"] = N / Send;
    State.counters["read_msg_per_s"] = N / Read;
    State.counters["batch_MB"] = double(Bytes) / double(State.iterations()) / 1e6;
    State.SetItemsProcessed(int64_t(N));
}
BENCHMARK(BM_BatchRoundTrip)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

// GetOSStatus of Count entries (set as the raw next answer), unwrapped and read via the bindings.
void BM_OutstandingStatuses(benchmark::State& State) {
    const int64_t Count = State.range(0);
    testsupport::TGatewaySim Sim;
    auto Ws = GetIVexoWSSoap(false, Sim.Url(), nullptr);
    const std::string Token = Ws->Login(Sim.Username(), Sim.Password());
    std::string Doc = "<![CDATA[<VexoMessageStatusList>";
    for (int64_t I = 0; I < Count; ++I)
        Doc +=
            "<MsgStat StatTime=\"2024-01-31 10:00:00\" StatText=\"Delivered\" Status=\"2\">"
            "<MsgIdent MsgID=\"" +
            std::to_string(I) + "\" ReqID=\"" + std::to_string(I) + "\" Ref=\"REF" +
            std::to_string(I) +
            "\" Prot=\"SMS\" Rcpt=\"0821234567\" ClientApp=\"BENCH\"/>"
            "</MsgStat>";
    Doc += "</VexoMessageStatusList>]]>";
    for (auto _ : State) {
        State.PauseTiming();
        Sim.SetOSStatus(Doc);
        State.ResumeTiming();
        auto List =
            GetVexoMessageStatusList(NewXMLDocument(UnwrapCDATA(Ws->GetOSStatus(Token, ""))));
        const int N = List->GetCount();
        if (N != Count) State.SkipWithError("wrong number of entries");
        for (int I = 0; I < N; ++I)
            benchmark::DoNotOptimize(List->GetItem(I)->GetMsgIdent()->GetReqID());
    }
    State.SetItemsProcessed(int64_t(Count) * int64_t(State.iterations()));
}
BENCHMARK(BM_OutstandingStatuses)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace
