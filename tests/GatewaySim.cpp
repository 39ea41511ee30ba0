#include "tests/GatewaySim.h"

#include <curl/curl.h>

#include <stdexcept>

namespace testsupport {

namespace {

const char* const kReadyPrefix = "listening on ";

size_t Collect(char* Data, size_t Size, size_t Count, void* User) {
    static_cast<std::string*>(User)->append(Data, Size * Count);
    return Size * Count;
}

// Splits at unescaped commas and undoes the simulator's "\\" "\," "\r" "\n" escapes.
std::vector<std::string> SplitEscaped(const std::string& Line) {
    std::vector<std::string> Fields(1);
    for (size_t I = 0; I < Line.size(); ++I) {
        const char C = Line[I];
        if (C == '\\' && I + 1 < Line.size()) {
            const char N = Line[++I];
            Fields.back() += N == 'r' ? '\r' : N == 'n' ? '\n' : N;
        } else if (C == ',') {
            Fields.emplace_back();
        } else {
            Fields.back() += C;
        }
    }
    return Fields;
}

void Expect200(const THttpResult& R, const std::string& What) {
    if (R.Status != 200) throw std::runtime_error(What + " failed: " + R.Body);
}

}  // namespace

THttpConnection::THttpConnection() : Handle_(curl_easy_init()) {
    if (!Handle_) throw std::runtime_error("curl_easy_init failed");
}

THttpConnection::~THttpConnection() { curl_easy_cleanup(static_cast<CURL*>(Handle_)); }

THttpResult THttpConnection::Request(const std::string& Method, const std::string& Url,
                                     const std::string& Body,
                                     const std::vector<std::string>& Headers) {
    CURL* C = static_cast<CURL*>(Handle_);
    curl_easy_reset(C);
    THttpResult R;
    curl_slist* List = nullptr;
    bool Typed = false;
    for (const auto& H : Headers) {
        List = curl_slist_append(List, H.c_str());
        Typed = Typed || H.rfind("Content-Type:", 0) == 0;
    }
    // Not a form: the server would parse it and refuse a large one.
    if (!Typed) List = curl_slist_append(List, "Content-Type: application/octet-stream");
    List = curl_slist_append(List, "Expect:");
    curl_easy_setopt(C, CURLOPT_URL, Url.c_str());
    curl_easy_setopt(C, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(C, CURLOPT_HTTPHEADER, List);
    curl_easy_setopt(C, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(C, CURLOPT_WRITEDATA, &R.Body);
    if (Method == "POST") {
        curl_easy_setopt(C, CURLOPT_POST, 1L);
        curl_easy_setopt(C, CURLOPT_POSTFIELDS, Body.data());
        curl_easy_setopt(C, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(Body.size()));
    }
    const CURLcode Code = curl_easy_perform(C);
    curl_easy_getinfo(C, CURLINFO_RESPONSE_CODE, &R.Status);
    char* Type = nullptr;
    curl_easy_getinfo(C, CURLINFO_CONTENT_TYPE, &Type);
    if (Type) R.ContentType = Type;
    curl_slist_free_all(List);
    if (Code != CURLE_OK) throw std::runtime_error(curl_easy_strerror(Code));
    return R;
}

THttpResult HttpRequest(const std::string& Method, const std::string& Url, const std::string& Body,
                        const std::vector<std::string>& Headers) {
    return THttpConnection().Request(Method, Url, Body, Headers);
}

TGatewaySim::TGatewaySim(const std::string& Username, const std::string& Password)
    : username_(Username), password_(Password) {
    std::vector<std::string> Argv = {BuildDir() + "/vexo-gateway-sim", "--port", "0"};
    if (!Username.empty()) {
        Argv.insert(Argv.end(), {"--username", Username, "--password", Password});
    }
    process_ = std::make_unique<ChildProcess>(Argv);
    const std::string Line = process_->WaitForStdoutLine(kReadyPrefix);
    if (Line.empty())
        throw std::runtime_error("the gateway simulator did not start: " + process_->Stderr());
    url_ = Line.substr(std::string(kReadyPrefix).size());
    const size_t Colon = url_.find(':', 7);
    port_ = std::stoi(url_.substr(Colon + 1));
}

std::string TGatewaySim::BaseUrl() const { return "http://127.0.0.1:" + std::to_string(port_); }

void TGatewaySim::Fault(const std::string& Operation, int Count, const std::string& Kind,
                        int DelayMs) {
    std::string Url = BaseUrl() + "/control/fault?op=" + Operation +
                      "&count=" + std::to_string(Count) + "&kind=" + Kind;
    if (DelayMs) Url += "&ms=" + std::to_string(DelayMs);
    Expect200(HttpRequest("POST", Url), "fault injection");
}

void TGatewaySim::RawReply(const std::string& Operation, const std::string& Body, int Status,
                           const std::string& ContentType) {
    char* Type = curl_easy_escape(nullptr, ContentType.c_str(), int(ContentType.size()));
    const std::string Url = BaseUrl() + "/control/reply?op=" + Operation +
                            "&status=" + std::to_string(Status) + "&type=" + Type;
    curl_free(Type);
    Expect200(HttpRequest("POST", Url, Body), "raw reply");
}

void TGatewaySim::SetOSStatus(const std::string& Text) {
    Expect200(HttpRequest("POST", BaseUrl() + "/control/os-status", Text), "os-status");
}

void TGatewaySim::SetOSReplies(const std::string& Text) {
    Expect200(HttpRequest("POST", BaseUrl() + "/control/os-replies", Text), "os-replies");
}

std::string TGatewaySim::MessagesCsv() {
    THttpResult R = HttpRequest("GET", BaseUrl() + "/control/messages");
    Expect200(R, "messages");
    return R.Body;
}

std::vector<TSimMessage> TGatewaySim::Messages() {
    std::vector<TSimMessage> Out;
    for (const auto& Line : Lines(MessagesCsv())) {
        std::vector<std::string> F = SplitEscaped(Line);
        if (F.size() != 7) throw std::runtime_error("bad message line: " + Line);
        Out.push_back({std::stoll(F[0]), F[1], F[2], F[3], F[4], F[5], F[6]});
    }
    return Out;
}

std::vector<TSimRequest> TGatewaySim::Requests(size_t Count) {
    THttpResult R = HttpRequest("GET", BaseUrl() + "/control/requests?n=" + std::to_string(Count));
    Expect200(R, "requests");
    std::vector<TSimRequest> Out;
    const std::string& T = R.Body;
    const std::string kMark = "#REQUEST ";
    size_t At = 0;
    while (T.compare(At, kMark.size(), kMark) == 0) {
        size_t Eol = T.find('\n', At);
        const size_t Length = std::stoul(T.substr(At + kMark.size(), Eol - At - kMark.size()));
        TSimRequest Q;
        At = Eol + 1;
        while ((Eol = T.find('\n', At)) != At) {
            const std::string Header = T.substr(At, Eol - At);
            const size_t Colon = Header.find(": ");
            const std::string Name = Header.substr(0, Colon), Value = Header.substr(Colon + 2);
            if (Name == "Method") Q.Method = Value;
            if (Name == "Path") Q.Path = Value;
            if (Name == "Host") Q.Host = Value;
            if (Name == "SOAPAction") Q.SoapAction = Value;
            if (Name == "Content-Type") Q.ContentType = Value;
            At = Eol + 1;
        }
        Q.Body = T.substr(At + 1, Length);
        At += 1 + Length + 1;
        Out.push_back(std::move(Q));
    }
    return Out;
}

TSimStats TGatewaySim::Stats() {
    THttpResult R = HttpRequest("GET", BaseUrl() + "/control/stats");
    Expect200(R, "stats");
    TSimStats S;
    for (const auto& Line : Lines(R.Body)) {
        const size_t Space = Line.find(' ');
        const std::string Name = Line.substr(0, Space);
        const int64_t Value = std::stoll(Line.substr(Space + 1));
        if (Name == "connections") S.Connections = Value;
        if (Name == "requests") S.Requests = Value;
        if (Name == "soap-connections") S.SoapConnections = Value;
        if (Name == "soap-requests") S.SoapRequests = Value;
    }
    return S;
}

}  // namespace testsupport
