// vexo-gateway-sim: a stand-in for the messaging gateway, for the demo and the tests. Serves the
// gateway's SOAP port on 127.0.0.1 at the default service path, plus a control interface:
//
//   POST /control/fault?op=NAME&count=N&kind=KIND[&ms=M]   the next N calls of NAME ("*": any)
//        answer with KIND: fault http500 html plain malformed noroot wrongroot twobodies
//        twoheaders noresult renamed multichild emptybody delay drop (count=0 clears)
//   POST /control/reply?op=NAME[&status=S][&type=T]  body = the whole raw HTTP answer to the
//        next call of NAME ("*": any); status 200 and type text/xml unless given
//   POST /control/os-status, /control/os-replies   body = the raw text the next call returns
//   GET  /control/messages                         one CSV line per message received
//   GET  /control/requests?n=N                     the last N SOAP requests, raw
//   GET  /control/stats                            what the server counted since it started,
//        one "NAME VALUE" line each, in this order:
//          connections       TCP connections accepted (control ones included)
//          requests          HTTP requests received (this one included)
//          soap-connections  connections that carried at least one SOAP call
//          soap-requests     SOAP calls received (POSTs to the service path)
//        A client that keeps one connection open for all its calls adds 1 to soap-connections.
//
// Connections stay open between calls as long as the client wants, up to kKeepAliveSeconds of
// silence and kMaxCallsPerConnection requests (each answer says so in its Keep-Alive header): a
// client may send thousands of batches over one. Each open connection has a thread to itself (the
// service runs a worker per file, a thousand at once is fine; a fixed pool would leave late comers
// waiting behind idle connections), and is read in pieces of up to kReadBytes.
//
// Stops on SIGTERM or SIGINT, and by itself when the process that started it ends.
#include <arpa/inet.h>
#include <httplib.h>
#include <malloc.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "tools/uSimGateway.h"

namespace {

const char* const kServicePath = "/csp/vexo/Vexo.Webservice.cls";
const char* const kDescriptionPath = "/csp/vexo/Vexo.Webservice.CLS";
constexpr int kSignalPollMs = 500;
// Large batches arrive as tens of megabytes; a slow client must not be cut off mid-upload.
constexpr time_t kSocketTimeoutSeconds = 300;
// Longer than the service's retry delay, so a retry still finds its connection open.
constexpr time_t kKeepAliveSeconds = 60;
constexpr size_t kMaxCallsPerConnection = 1000000;
constexpr size_t kMaxPayloadBytes = size_t(1) << 31;
// Every call allocates its body and answer anew, hundreds of kilobytes each. The allocator keeps
// what is freed for the next call instead of handing it back to the system and faulting it in
// again; only buffers above kMmapThresholdBytes (a batch of tens of thousands) get pages of
// their own.
constexpr int kMmapThresholdBytes = 32 << 20;
constexpr int kTrimThresholdBytes = 1 << 30;

// The library reads a body 4 KB at a time, with a wait before each read: two system calls per
// 4 KB. The server's own stream reads as much as has arrived, up to this.
constexpr size_t kReadBytes = 256 * 1024;

// The counts of GET /control/stats.
struct TStats {
    std::atomic<int64_t> Connections{0}, Requests{0}, SoapConnections{0}, SoapRequests{0};
};

// The connection this thread serves (every request of a connection is served on the thread
// that took it), and whether it has carried a SOAP call.
thread_local int tSocket = -1;
thread_local bool tConnectionHadSoap = false;

std::string AddressText(const sockaddr_storage& A, int& Port) {
    char Text[INET6_ADDRSTRLEN] = "";
    Port = -1;
    if (A.ss_family == AF_INET) {
        const auto& V4 = reinterpret_cast<const sockaddr_in&>(A);
        inet_ntop(AF_INET, &V4.sin_addr, Text, sizeof Text);
        Port = ntohs(V4.sin_port);
    } else if (A.ss_family == AF_INET6) {
        const auto& V6 = reinterpret_cast<const sockaddr_in6&>(A);
        inet_ntop(AF_INET6, &V6.sin6_addr, Text, sizeof Text);
        Port = ntohs(V6.sin6_port);
    }
    return Text;
}

// One connection as the server library sees it: a blocking socket with the socket's own
// time-outs, read through a buffer of kReadBytes.
class TConnectionStream : public httplib::Stream {
  public:
    explicit TConnectionStream(int Socket) : Socket_(Socket), Buffer_(new char[kReadBytes]) {
        sockaddr_storage A{};
        socklen_t Length = sizeof A;
        if (getpeername(Socket, reinterpret_cast<sockaddr*>(&A), &Length) == 0)
            RemoteIp_ = AddressText(A, RemotePort_);
        Length = sizeof A;
        if (getsockname(Socket, reinterpret_cast<sockaddr*>(&A), &Length) == 0)
            LocalIp_ = AddressText(A, LocalPort_);
    }
    // Whether more comes within Ms milliseconds (the end of the connection counts).
    bool WaitReadable(int Ms) const {
        if (Begin_ < End_) return true;
        pollfd P{Socket_, POLLIN, 0};
        int R;
        while ((R = poll(&P, 1, Ms)) < 0 && errno == EINTR) {
        }
        return R > 0;
    }
    bool is_readable() const override { return WaitReadable(int(kSocketTimeoutSeconds * 1000)); }
    bool is_writable() const override { return true; }
    ssize_t read(char* Ptr, size_t Size) override {
        if (Begin_ == End_) {
            const ssize_t N = Receive(Buffer_.get(), kReadBytes);
            if (N <= 0) return N;
            Begin_ = 0;
            End_ = size_t(N);
        }
        const size_t N = std::min(Size, End_ - Begin_);
        std::memcpy(Ptr, Buffer_.get() + Begin_, N);
        Begin_ += N;
        return ssize_t(N);
    }
    ssize_t write(const char* Ptr, size_t Size) override {
        ssize_t N;
        while ((N = send(Socket_, Ptr, Size, MSG_NOSIGNAL)) < 0 && errno == EINTR) {
        }
        return N;
    }
    void get_remote_ip_and_port(std::string& Ip, int& Port) const override {
        Ip = RemoteIp_;
        Port = RemotePort_;
    }
    void get_local_ip_and_port(std::string& Ip, int& Port) const override {
        Ip = LocalIp_;
        Port = LocalPort_;
    }
    socket_t socket() const override { return Socket_; }

  private:
    ssize_t Receive(char* Into, size_t Size) {
        ssize_t N;
        while ((N = recv(Socket_, Into, Size, 0)) < 0 && errno == EINTR) {
        }
        return N;
    }

    const int Socket_;
    std::unique_ptr<char[]> Buffer_;
    size_t Begin_ = 0, End_ = 0;
    std::string RemoteIp_, LocalIp_;
    int RemotePort_ = -1, LocalPort_ = -1;
};

// Runs every connection at once: on a thread left idle by an earlier one, or on a new thread
// when none is idle. Threads are kept for later connections.
class TConnectionThreads : public httplib::TaskQueue {
  public:
    void enqueue(std::function<void()> Serve) override {
        std::lock_guard<std::mutex> Lock(Mutex_);
        Jobs_.push_back(std::move(Serve));
        // Every waiting thread takes one connection; more connections need more threads.
        if (Jobs_.size() > Waiting_)
            std::thread([this] { Work(); }).detach();
        else
            Ready_.notify_one();
    }
    // The process ends without waiting for connections (see main).
    void shutdown() override {}

  private:
    void Work() {
        std::unique_lock<std::mutex> Lock(Mutex_);
        for (;;) {
            if (Jobs_.empty()) {
                ++Waiting_;
                Ready_.wait(Lock);
                --Waiting_;
                continue;
            }
            std::function<void()> Serve = std::move(Jobs_.front());
            Jobs_.pop_front();
            Lock.unlock();
            Serve();
            Lock.lock();
        }
    }

    std::mutex Mutex_;
    std::condition_variable Ready_;
    std::deque<std::function<void()>> Jobs_;
    size_t Waiting_ = 0;
};

// The library's server with connections served through TConnectionStream, any number of
// requests each, and counted.
class TServer : public httplib::Server {
  public:
    explicit TServer(TStats& Stats) : Stats_(Stats) {}

  private:
    bool process_and_close_socket(socket_t Socket) override {
        ++Stats_.Connections;
        tSocket = Socket;
        tConnectionHadSoap = false;
        const timeval Timeout{kSocketTimeoutSeconds, 0};
        setsockopt(Socket, SOL_SOCKET, SO_RCVTIMEO, &Timeout, sizeof Timeout);
        setsockopt(Socket, SOL_SOCKET, SO_SNDTIMEO, &Timeout, sizeof Timeout);
        // An answer goes out in several writes; without this each waits for an acknowledgement.
        const int On = 1;
        setsockopt(Socket, IPPROTO_TCP, TCP_NODELAY, &On, sizeof On);
        TConnectionStream Stream(Socket);
        bool Served = true, Closed = false;
        // Requests as they come, each within the keep-alive time; the last allowed one closes.
        const int WaitMs = int(keep_alive_timeout_sec_ * 1000);
        for (size_t Call = 1; Served && !Closed && Stream.WaitReadable(WaitMs); ++Call)
            Served = process_request(Stream, Call == keep_alive_max_count_, Closed, nullptr);
        shutdown(Socket, SHUT_RDWR);
        close(Socket);
        tSocket = -1;
        return Served;
    }

    TStats& Stats_;
};

void Usage() {
    std::fprintf(stderr,
                 "usage: vexo-gateway-sim [--port N] [--username NAME] [--password TEXT]\n"
                 "  --port 0 (the default) picks a free port; without --username any logon "
                 "is accepted\n");
}

// Closes the connection the current request came in on, so the client gets no answer at all.
void DropConnection() { shutdown(tSocket, SHUT_RDWR); }

void Reply(httplib::Response& Res, TSimHttpResponse Out) {
    Res.status = Out.Status;
    if (!Out.Produce) {
        Res.set_header("Content-Type", Out.ContentType);
        Res.body = std::move(Out.Body);
        return;
    }
    // Sent as it is made, its length announced as for any other answer.
    struct TSending {
        TSimHttpResponse Out;
        int Phase = 0;  // the body, the pieces, the tail, done
    };
    const size_t Size = Out.Size();
    auto S = std::make_shared<TSending>();
    S->Out = std::move(Out);
    Res.set_content_provider(Size, S->Out.ContentType,
                             [S](size_t, size_t, httplib::DataSink& Sink) {
                                 if (S->Phase == 0) {
                                     S->Phase = 1;
                                     return Sink.write(S->Out.Body.data(), S->Out.Body.size());
                                 }
                                 if (S->Phase == 1) {
                                     const std::string_view Piece = S->Out.Produce();
                                     if (!Piece.empty())
                                         return Sink.write(Piece.data(), Piece.size());
                                     S->Phase = 2;
                                 }
                                 if (S->Phase == 2) {
                                     S->Phase = 3;
                                     return Sink.write(S->Out.Tail.data(), S->Out.Tail.size());
                                 }
                                 return false;  // asked for more than was announced
                             });
}

}  // namespace

int main(int argc, char** argv) {
    int Port = 0;
    std::string Username, Password;
    for (int I = 1; I < argc; ++I) {
        const std::string Arg = argv[I];
        if (I + 1 >= argc) {
            Usage();
            return 2;
        }
        if (Arg == "--port")
            Port = std::atoi(argv[++I]);
        else if (Arg == "--username")
            Username = argv[++I];
        else if (Arg == "--password")
            Password = argv[++I];
        else {
            Usage();
            return 2;
        }
    }

    mallopt(M_MMAP_THRESHOLD, kMmapThresholdBytes);
    mallopt(M_TRIM_THRESHOLD, kTrimThresholdBytes);

    // Signals are taken by one thread; every other thread (the server's too) has them blocked.
    const pid_t Parent = getppid();
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    signal(SIGPIPE, SIG_IGN);
    sigset_t Stop;
    sigemptyset(&Stop);
    sigaddset(&Stop, SIGTERM);
    sigaddset(&Stop, SIGINT);
    sigaddset(&Stop, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &Stop, nullptr);

    TStats Stats;
    TServer Server(Stats);
    Server.new_task_queue = [] { return new TConnectionThreads; };
    Server.set_keep_alive_timeout(kKeepAliveSeconds);
    Server.set_keep_alive_max_count(kMaxCallsPerConnection);
    Server.set_payload_max_length(kMaxPayloadBytes);

    int Bound = Port == 0 ? Server.bind_to_any_port("127.0.0.1")
                          : (Server.bind_to_port("127.0.0.1", Port) ? Port : -1);
    if (Bound <= 0) {
        std::fprintf(stderr, "vexo-gateway-sim: cannot listen on 127.0.0.1:%d\n", Port);
        return 1;
    }
    const std::string Base = "http://127.0.0.1:" + std::to_string(Bound);
    TSimGateway Gateway(Username, Password, Base);

    Server.set_pre_routing_handler([&](const httplib::Request& Req, httplib::Response&) {
        ++Stats.Requests;
        if (Req.method == "POST" && Req.path == kServicePath) {
            ++Stats.SoapRequests;
            if (!tConnectionHadSoap) ++Stats.SoapConnections;
            tConnectionHadSoap = true;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });

    // The body is read here, into one string of its announced size, and handed on whole.
    Server.Post(kServicePath, [&](const httplib::Request& Req, httplib::Response& Res,
                                  const httplib::ContentReader& Content) {
        TSimHttpRequest In;
        In.Method = Req.method;
        In.Path = Req.path;
        In.Host = Req.get_header_value("Host");
        In.SoapAction = Req.get_header_value("SOAPAction");
        In.ContentType = Req.get_header_value("Content-Type");
        const unsigned long long Announced =
            std::strtoull(Req.get_header_value("Content-Length").c_str(), nullptr, 10);
        In.Body.reserve(std::min<unsigned long long>(Announced, kMaxPayloadBytes));
        AdviseHugePages(In.Body.data(), In.Body.capacity());
        Content([&](const char* Data, size_t Size) {
            In.Body.append(Data, Size);
            return true;
        });
        TSimHttpResponse Out = Gateway.HandleSoap(std::move(In));
        if (Out.Drop) {
            DropConnection();
            return;
        }
        Reply(Res, std::move(Out));
    });
    auto Describe = [&](const httplib::Request& Req, httplib::Response& Res) {
        if (!Req.has_param("WSDL") && !Req.has_param("wsdl")) {
            Res.status = 404;
            return;
        }
        Reply(Res, Gateway.Description());
    };
    Server.Get(kServicePath, Describe);
    Server.Get(kDescriptionPath, Describe);
    Server.Post("/control/fault", [&](const httplib::Request& Req, httplib::Response& Res) {
        const std::string Error = Gateway.SetFault(
            Req.get_param_value("op"), std::atoi(Req.get_param_value("count").c_str()),
            Req.get_param_value("kind"), std::atoi(Req.get_param_value("ms").c_str()));
        Res.status = Error.empty() ? 200 : 400;
        Res.set_content(Error.empty() ? "ok\n" : Error + "\n", "text/plain");
    });
    Server.Post("/control/reply", [&](const httplib::Request& Req, httplib::Response& Res) {
        const std::string Status = Req.get_param_value("status");
        const std::string Error = Gateway.SetRawReply(
            Req.get_param_value("op"), Status.empty() ? 200 : std::atoi(Status.c_str()),
            Req.has_param("type") ? Req.get_param_value("type") : "text/xml", Req.body);
        Res.status = Error.empty() ? 200 : 400;
        Res.set_content(Error.empty() ? "ok\n" : Error + "\n", "text/plain");
    });
    Server.Post("/control/os-status", [&](const httplib::Request& Req, httplib::Response& Res) {
        Gateway.SetNextOSStatus(Req.body);
        Res.set_content("ok\n", "text/plain");
    });
    Server.Post("/control/os-replies", [&](const httplib::Request& Req, httplib::Response& Res) {
        Gateway.SetNextOSReplies(Req.body);
        Res.set_content("ok\n", "text/plain");
    });
    Server.Get("/control/messages", [&](const httplib::Request&, httplib::Response& Res) {
        Res.set_header("Content-Type", "text/plain; charset=utf-8");
        Res.body = Gateway.MessagesCsv();
    });
    Server.Get("/control/stats", [&](const httplib::Request&, httplib::Response& Res) {
        Res.set_content("connections " + std::to_string(Stats.Connections) + "\nrequests " +
                            std::to_string(Stats.Requests) + "\nsoap-connections " +
                            std::to_string(Stats.SoapConnections) + "\nsoap-requests " +
                            std::to_string(Stats.SoapRequests) + "\n",
                        "text/plain");
    });
    Server.Get("/control/requests", [&](const httplib::Request& Req, httplib::Response& Res) {
        const std::string N = Req.get_param_value("n");
        Res.set_content(Gateway.RequestsText(N.empty() ? 1 : size_t(std::atol(N.c_str()))),
                        "text/plain; charset=utf-8");
    });

    // Nothing to save: the simulator ends at once, also with handlers asleep in a delay.
    std::thread([&] {
        const timespec Poll{0, kSignalPollMs * 1000000L};
        while (sigtimedwait(&Stop, nullptr, &Poll) < 0 && getppid() == Parent) {
        }
        std::fflush(stdout);
        std::_Exit(0);
    }).detach();

    std::printf("listening on %s%s\n", Base.c_str(), kServicePath);
    std::fflush(stdout);
    Server.listen_after_bind();
    std::fprintf(stderr, "vexo-gateway-sim: the server stopped unexpectedly\n");
    return 1;
}
