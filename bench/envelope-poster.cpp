// envelope-poster: the floor of the end-to-end benchmark. Builds the Send envelopes of an SMS file
// of ROWS rows in parts of PART messages (the rows bench/run_e2e.sh writes, through the client SDK
// objects the way the worker fills them, wrapped by the gateway client's own envelope code), then
// posts them one after the other over one keep-alive connection and times only that.
//
//   envelope-poster URL USERNAME PASSWORD ROWS PART
//
// URL is the simulator's service endpoint; the token comes from a Login there before the clock
// starts. The envelopes are captured by a small HTTP endpoint of this process, so they are byte
// for byte what the gateway client sends. Prints "parts=N bytes=B wall_s=S" on success; exit 1
// when a post fails or is not answered with HTTP 200.
#include <curl/curl.h>
#include <httplib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "gateway/uVexocspWS.h"
#include "worker/VexoClientSDK_TLB.h"
#include "worker/uVexoClientUtils.h"

namespace {

const char* const kServicePath = "/csp/vexo/Vexo.Webservice.cls";
const char* const kEmptySendReply =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<soap:Envelope "
    "xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\"><soap:Body><SendResponse "
    "xmlns=\"http://vexo.gateway\"><SendResult></SendResult></SendResponse></soap:Body>"
    "</soap:Envelope>";

struct TEnvelope {
    std::string SoapAction, Body;
};

template <typename Interface>
std::shared_ptr<Interface> New(const char* ClassName) {
    auto Object = std::dynamic_pointer_cast<Interface>(CreateClientObject(ClassName));
    if (!Object) throw std::runtime_error(std::string("cannot create ") + ClassName);
    return Object;
}

// Rows From..To-1 of the benchmark file as one batch; only the first part carries the name.
std::string PartXml(int64_t From, int64_t To, const std::shared_ptr<ISender>& Sender) {
    auto Batch = New<IBatchRequest>("BatchRequest");
    Batch->SetBatchName(From == 0 ? "BENCH" : "");
    Batch->SetSender(Sender);
    char Cell[32];
    for (int64_t I = From + 1; I <= To; ++I) {
        auto Message = New<IMessageRequest>("MessageRequest");
        auto Override = New<IOverrideProtocol>("OverrideProtocol");
        auto Recipient = New<IRecipient>("Recipient");
        std::snprintf(Cell, sizeof Cell, "082%07lld", static_cast<long long>(I));
        Recipient->SetCellNo(Cell);
        Recipient->SetEmail("");
        Recipient->SetFaxNo("");
        Message->AddRecipient(Recipient);
        Override->SetFlag(-1);
        Override->SetProtocolName("SMS");
        Override->SetMessageType("TXT");
        Override->SetMessageText("Bench message number " + std::to_string(I));
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

// Every Send envelope the gateway client produces for the file, caught before it reaches a wire.
std::vector<TEnvelope> CaptureEnvelopes(const std::string& Token, int64_t Rows, int64_t Part) {
    std::vector<TEnvelope> Out;
    std::mutex Mutex;
    httplib::Server Capture;
    Capture.Post(kServicePath, [&](const httplib::Request& Req, httplib::Response& Res) {
        std::lock_guard<std::mutex> Lock(Mutex);
        Out.push_back({Req.get_header_value("SOAPAction"), Req.body});
        Res.set_content(kEmptySendReply, "text/xml; charset=utf-8");
    });
    const int Port = Capture.bind_to_any_port("127.0.0.1");
    if (Port <= 0) throw std::runtime_error("cannot listen for the capture");
    std::thread Server([&] { Capture.listen_after_bind(); });
    auto Ws = GetIVexoWSSoap(false, "http://127.0.0.1:" + std::to_string(Port) + kServicePath);
    auto Sender = CoSender::Create();
    Sender->SetName("Bench");
    Sender->SetEmail("bench@example.com");
    Sender->SetCellNo("0820000000");
    Sender->SetFaxNo("0110000000");
    for (int64_t From = 0; From < Rows; From += Part)
        Ws->Send(Token, PartXml(From, std::min(Rows, From + Part), Sender), false);
    Capture.stop();
    Server.join();
    return Out;
}

size_t Collect(char* Data, size_t Size, size_t Count, void* User) {
    static_cast<std::string*>(User)->append(Data, Size * Count);
    return Size * Count;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: envelope-poster URL USERNAME PASSWORD ROWS PART\n");
        return 2;
    }
    const std::string Url = argv[1];
    const int64_t Rows = std::atoll(argv[4]), Part = std::atoll(argv[5]);
    if (Rows < 1 || Part < 1) {
        std::fprintf(stderr, "envelope-poster: ROWS and PART must be positive\n");
        return 2;
    }
    try {
        const std::string Token = GetIVexoWSSoap(false, Url)->Login(argv[2], argv[3]);
        const std::vector<TEnvelope> Envelopes = CaptureEnvelopes(Token, Rows, Part);

        CURL* C = curl_easy_init();
        curl_slist* Headers = curl_slist_append(nullptr, "Content-Type: text/xml; charset=utf-8");
        Headers = curl_slist_append(Headers, "Expect:");
        Headers = curl_slist_append(Headers, ("SOAPAction: " + Envelopes.at(0).SoapAction).c_str());
        std::string Reply;
        curl_easy_setopt(C, CURLOPT_URL, Url.c_str());
        curl_easy_setopt(C, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(C, CURLOPT_HTTPHEADER, Headers);
        curl_easy_setopt(C, CURLOPT_POST, 1L);
        curl_easy_setopt(C, CURLOPT_WRITEFUNCTION, Collect);
        curl_easy_setopt(C, CURLOPT_WRITEDATA, &Reply);
        size_t Bytes = 0;
        const auto Start = std::chrono::steady_clock::now();
        for (const TEnvelope& E : Envelopes) {
            Reply.clear();
            curl_easy_setopt(C, CURLOPT_POSTFIELDS, E.Body.data());
            curl_easy_setopt(C, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(E.Body.size()));
            const CURLcode Code = curl_easy_perform(C);
            long Status = 0;
            curl_easy_getinfo(C, CURLINFO_RESPONSE_CODE, &Status);
            if (Code != CURLE_OK || Status != 200)
                throw std::runtime_error("post failed: " + std::string(curl_easy_strerror(Code)) +
                                         ", HTTP " + std::to_string(Status) + " " +
                                         Reply.substr(0, 300));
            Bytes += E.Body.size();
        }
        const double Wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
        curl_slist_free_all(Headers);
        curl_easy_cleanup(C);
        std::printf("parts=%zu bytes=%zu wall_s=%.3f\n", Envelopes.size(), Bytes, Wall);
    } catch (const std::exception& E) {
        std::fprintf(stderr, "envelope-poster: %s\n", E.what());
        return 1;
    }
    return 0;
}
