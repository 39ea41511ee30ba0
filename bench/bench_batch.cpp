// Batches at scale: building one through the client SDK objects and getting its XML, and reading
// the gateway's BatchInfo reply back. Both must stay linear in the number of messages, so each is
// run at two sizes; the rate (messages/s) should not fall as the batch grows.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "clientsdk/BatchFormat.h"
#include "worker/VexoClientSDK_TLB.h"
#include "worker/uVexoClientUtils.h"

namespace {

template <typename Interface>
std::shared_ptr<Interface> New(const char* ClassName) {
    return std::dynamic_pointer_cast<Interface>(CreateClientObject(ClassName));
}

// One batch request holding Count messages of one recipient each, built call by call as the
// worker builds them.
std::shared_ptr<IBatchRequest> BuildBatch(int64_t Count, const std::shared_ptr<ISender>& Sender) {
    auto Batch = New<IBatchRequest>("BatchRequest");
    Batch->SetBatchName("BENCH");
    Batch->SetSender(Sender);
    for (int64_t i = 0; i < Count; ++i) {
        auto Message = New<IMessageRequest>("MessageRequest");
        auto Override = New<IOverrideProtocol>("OverrideProtocol");
        auto Recipient = New<IRecipient>("Recipient");
        Recipient->SetCellNo("082" + std::to_string(1000000 + i));
        Recipient->SetEmail("");
        Recipient->SetFaxNo("");
        benchmark::DoNotOptimize(Recipient->GetCellNo());
        Message->AddRecipient(Recipient);
        Override->SetFlag(-1);
        Override->SetProtocolName("SMS");
        Override->SetMessageType("TEXT");
        Override->SetMessageText("Dear customer, your order " + std::to_string(i) +
                                 " is ready for collection & payment <today>.");
        Message->SetReference("REF" + std::to_string(i));
        Message->SetDateTime("2004-12-24 21:00:00");
        Message->SetBatchName("BENCH");
        Message->SetFlag(-1);
        Message->SetOverrideProtocol(Override);
        Message->SetPriority(static_cast<int32_t>(i % 3));
        Batch->AddMessageRequest(Message);
    }
    return Batch;
}

std::shared_ptr<ISender> NewSender() {
    auto Sender = CoSender::Create();
    Sender->SetName("Bench Org");
    Sender->SetEmail("bench@example.com");
    Sender->SetCellNo("0820000000");
    Sender->SetFaxNo("0110000000");
    return Sender;
}

// Building the objects and getting the XML, as one part of the worker does.
void BM_BuildBatchAndGetXML(benchmark::State& State) {
    const int64_t Count = State.range(0);
    auto Sender = NewSender();
    size_t Bytes = 0;
    for (auto _ : State) {
        auto Batch = BuildBatch(Count, Sender);
        std::string Xml = Batch->GetXML();
        Bytes = Xml.size();
        benchmark::DoNotOptimize(Xml.data());
    }
    State.SetItemsProcessed(State.iterations() * Count);
    State.counters["xml_bytes"] = static_cast<double>(Bytes);
}
BENCHMARK(BM_BuildBatchAndGetXML)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

// GetXML alone on a batch already built (the worker fetches it anew for every attempt).
void BM_GetXML(benchmark::State& State) {
    const int64_t Count = State.range(0);
    auto Batch = BuildBatch(Count, NewSender());
    for (auto _ : State) {
        std::string Xml = Batch->GetXML();
        benchmark::DoNotOptimize(Xml.data());
    }
    State.SetItemsProcessed(State.iterations() * Count);
}
BENCHMARK(BM_GetXML)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

// Reading the gateway's reply: setting the reply text and reading every message identifier.
void BM_ReadBatchInfo(benchmark::State& State) {
    const int64_t Count = State.range(0);
    TBatchInfoReply Reply;
    Reply.Items.resize(Count);
    for (int64_t i = 0; i < Count; ++i) {
        Reply.Items[i].RcptCellNo = "082" + std::to_string(1000000 + i);
        Reply.Items[i].ReqID = 100000 + i;
        Reply.Items[i].Ref = "REF" + std::to_string(i);
    }
    Reply.RecTime = "2024-01-31 10:00:00";
    Reply.BatchID = 1;
    Reply.BatchNo = "B1";
    const std::string Xml = WriteBatchInfoXml(Reply);
    for (auto _ : State) {
        auto Info = CoBatchInfo::Create();
        Info->SetReplyText(Xml);
        auto Items = Info->GetItems();
        int64_t Sum = 0;
        for (int32_t i = 0; i < Items->GetCount(); ++i) Sum += Items->GetItem(i)->GetMessageID();
        benchmark::DoNotOptimize(Sum);
    }
    State.SetItemsProcessed(State.iterations() * Count);
    State.counters["reply_bytes"] = static_cast<double>(Xml.size());
}
BENCHMARK(BM_ReadBatchInfo)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

// The shared writer and reader alone, as the gateway simulator uses them.
void BM_BatchXmlRoundTrip(benchmark::State& State) {
    const int64_t Count = State.range(0);
    TBatch Batch;
    Batch.BatchName = "BENCH";
    Batch.Messages.resize(Count);
    for (int64_t i = 0; i < Count; ++i) {
        TBatchMessage& M = Batch.Messages[i];
        M.BatchName = "BENCH";
        M.Reference = "REF" + std::to_string(i);
        M.DateTime = "2004-12-24 21:00:00";
        M.Flag = true;
        M.Override = {"SMS", "TEXT", "Dear customer, your order is ready.", true};
        M.Recipients = {{"082" + std::to_string(1000000 + i), "", ""}};
    }
    for (auto _ : State) {
        TBatch Back = ReadBatchXml(WriteBatchXml(Batch));
        benchmark::DoNotOptimize(Back.Messages.data());
    }
    State.SetItemsProcessed(State.iterations() * Count);
}
BENCHMARK(BM_BatchXmlRoundTrip)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace
