// Gateway clients on several threads at once, as the workers use them: each thread its own
// client per call, all against one simulator.
#include <gtest/gtest.h>

#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "clientsdk/BatchFormat.h"
#include "gateway/uVexocspWS.h"
#include "support/Util.h"
#include "tests/GatewaySim.h"

TEST(GatewayThreads, ClientsOnSeveralThreadsGetTheirOwnAnswers) {
    constexpr int kThreads = 4;
    constexpr int kCalls = 8;
    testsupport::TGatewaySim Sim;
    std::mutex Mutex;
    std::vector<std::string> Errors;
    std::vector<std::pair<std::string, int64_t>> Sent;  // reference, identifier
    std::vector<std::thread> Threads;
    for (int T = 0; T < kThreads; ++T) {
        Threads.emplace_back([&, T] {
            for (int I = 0; I < kCalls; ++I) {
                const std::string Ref = "T" + std::to_string(T) + "-" + std::to_string(I);
                try {
                    TBatch Batch;
                    Batch.BatchName = "THREADS";
                    TBatchMessage& M = Batch.Messages.emplace_back();
                    M.BatchName = "THREADS";
                    M.Reference = Ref;
                    M.Override.ProtocolName = "SMS";
                    M.Recipients.push_back({"0821234567", "", ""});
                    const std::string Token =
                        GetIVexoWSSoap(false, Sim.Url())->Login(Sim.Username(), Sim.Password());
                    const TBatchInfoReply Reply = ReadBatchInfoXml(
                        UnwrapCDATA(GetIVexoWSSoap(false, Sim.Url())
                                        ->Send(Token, WriteBatchXml(Batch), false)));
                    std::lock_guard<std::mutex> Lock(Mutex);
                    if (Reply.Items.size() != 1 || Reply.Items[0].Ref != Ref)
                        Errors.push_back(Ref + ": wrong reply");
                    else
                        Sent.emplace_back(Ref, Reply.Items[0].ReqID);
                } catch (const std::exception& E) {
                    std::lock_guard<std::mutex> Lock(Mutex);
                    Errors.push_back(Ref + ": " + E.what());
                }
            }
        });
    }
    for (auto& T : Threads) T.join();
    EXPECT_TRUE(Errors.empty()) << Errors.front();
    ASSERT_EQ(size_t(kThreads * kCalls), Sent.size());
    // Each identifier names the message that was sent with it.
    std::set<int64_t> Ids;
    for (const auto& [Ref, Id] : Sent) Ids.insert(Id);
    EXPECT_EQ(Sent.size(), Ids.size());
    std::vector<testsupport::TSimMessage> Received = Sim.Messages();
    ASSERT_EQ(Sent.size(), Received.size());
    for (const auto& [Ref, Id] : Sent) {
        const auto& M = Received.at(size_t(Id - Received.front().ReqID));
        EXPECT_EQ(Id, M.ReqID);
        EXPECT_EQ(Ref, M.Reference);
    }
}
