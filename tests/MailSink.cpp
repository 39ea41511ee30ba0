#include "tests/MailSink.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <stdexcept>

namespace fs = std::filesystem;

namespace testsupport {

namespace {

std::string Lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool CanConnect(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

// Splits a message into its header block and body.
void SplitMessage(const std::string& raw, std::string& head, std::string& body) {
    size_t p = raw.find("\r\n\r\n");
    size_t skip = 4;
    size_t q = raw.find("\n\n");
    if (p == std::string::npos || (q != std::string::npos && q < p)) {
        p = q;
        skip = 2;
    }
    if (p == std::string::npos) {
        head = raw;
        body.clear();
        return;
    }
    head = raw.substr(0, p);
    body = raw.substr(p + skip);
}

std::string DecodeBase64(const std::string& in) {
    static const std::string chars =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    int val = 0, bits = -8;
    for (unsigned char c : in) {
        size_t d = chars.find(static_cast<char>(c));
        if (d == std::string::npos) continue;
        val = (val << 6) + static_cast<int>(d);
        bits += 6;
        if (bits >= 0) {
            out.push_back(static_cast<char>((val >> bits) & 0xFF));
            bits -= 8;
        }
    }
    return out;
}

std::string DecodeQuotedPrintable(const std::string& in) {
    std::string out;
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] == '=' && i + 1 < in.size()) {
            if (i + 2 < in.size() && in.compare(i + 1, 2, "\r\n") == 0) {
                i += 2;
                continue;
            }
            if (in[i + 1] == '\n') {
                i += 1;
                continue;
            }
            if (i + 2 < in.size() && std::isxdigit(static_cast<unsigned char>(in[i + 1])) &&
                std::isxdigit(static_cast<unsigned char>(in[i + 2]))) {
                out.push_back(static_cast<char>(std::stoi(in.substr(i + 1, 2), nullptr, 16)));
                i += 2;
                continue;
            }
        }
        out.push_back(in[i]);
    }
    return out;
}

std::string Param(const std::string& header_value, const std::string& name) {
    std::string lower = Lower(header_value);
    size_t p = lower.find(name + "=");
    if (p == std::string::npos) return "";
    p += name.size() + 1;
    if (p < header_value.size() && header_value[p] == '"') {
        size_t e = header_value.find('"', p + 1);
        return header_value.substr(p + 1, e == std::string::npos ? std::string::npos : e - p - 1);
    }
    size_t e = header_value.find_first_of("; \r\n", p);
    return header_value.substr(p, e == std::string::npos ? std::string::npos : e - p);
}

void CollectParts(const std::string& raw, std::vector<TMailPart>& parts) {
    std::string head, body;
    SplitMessage(raw, head, body);
    std::string type = MailHeader(head, "Content-Type");
    if (Lower(type).rfind("multipart/", 0) == 0) {
        std::string boundary = "--" + Param(type, "boundary");
        size_t pos = body.find(boundary);
        while (pos != std::string::npos) {
            size_t start = body.find('\n', pos);
            if (start == std::string::npos) break;
            if (body.compare(pos + boundary.size(), 2, "--") == 0) break;
            size_t next = body.find(boundary, start);
            if (next == std::string::npos) break;
            std::string part = body.substr(start + 1, next - start - 1);
            if (part.size() >= 2 && part.compare(part.size() - 2, 2, "\r\n") == 0)
                part.resize(part.size() - 2);
            else if (!part.empty() && part.back() == '\n')
                part.pop_back();
            CollectParts(part, parts);
            pos = next;
        }
        return;
    }
    TMailPart part;
    part.ContentType = type;
    std::string disposition = MailHeader(head, "Content-Disposition");
    part.FileName = Param(disposition, "filename");
    if (part.FileName.empty()) part.FileName = Param(type, "name");
    std::string enc = Lower(MailHeader(head, "Content-Transfer-Encoding"));
    if (enc == "base64")
        part.Body = DecodeBase64(body);
    else if (enc == "quoted-printable")
        part.Body = DecodeQuotedPrintable(body);
    else
        part.Body = body;
    parts.push_back(part);
}

}  // namespace

int FreeLocalPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        throw std::runtime_error("no free port");
    }
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

TTestCertificates::TTestCertificates(const std::string& Dir) {
    CA = Dir + "/ca.pem";
    Key = Dir + "/server.key";
    Cert = Dir + "/server.pem";
    WrongHostCert = Dir + "/other.pem";
    ExpiredCert = Dir + "/expired.pem";
    const auto Run = [](const std::vector<std::string>& Args) {
        ChildProcess P(Args);
        if (P.Wait() != 0) throw std::runtime_error("openssl: " + P.Stderr());
    };
    Run({"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
         "/CN=Brova Test CA", "-keyout", Dir + "/ca.key", "-out", CA});
    Run({"/usr/bin/openssl", "req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=server",
         "-keyout", Key, "-out", Dir + "/server.csr"});
    const auto Sign = [&](const std::string& Out, const std::string& Names, const char* Days) {
        WriteFile(Dir + "/ext", "subjectAltName=" + Names + "\n");
        Run({"/usr/bin/openssl", "x509", "-req", "-in", Dir + "/server.csr", "-CA", CA, "-CAkey",
             Dir + "/ca.key", "-CAcreateserial", "-days", Days, "-extfile", Dir + "/ext", "-out",
             Out});
    };
    Sign(Cert, "DNS:localhost,IP:127.0.0.1", "2");
    Sign(WrongHostCert, "DNS:other.example", "2");
    Sign(ExpiredCert, "DNS:localhost,IP:127.0.0.1", "-1");
}

TMailSink::TMailSink(int Port) {
    Start(
        [&] {
            return std::vector<std::string>{"/usr/bin/python3",
                                            "-m",
                                            "aiosmtpd",
                                            "-n",
                                            "-l",
                                            "127.0.0.1:" + std::to_string(port_),
                                            "-c",
                                            "aiosmtpd.handlers.Mailbox",
                                            dir_ / "maildir"};
        },
        Port);
}

TMailSink::TMailSink(const TTlsMailSink& Tls) {
    Start(
        [&] {
            std::vector<std::string> Args = {"/usr/bin/python3",
                                             SourceDir() + "/tests/tls_smtp_server.py",
                                             "--port",
                                             std::to_string(port_),
                                             "--dir",
                                             dir_.Path(),
                                             "--mode",
                                             Tls.Mode,
                                             "--cert",
                                             Tls.Cert,
                                             "--key",
                                             Tls.Key};
            if (!Tls.Auth.empty()) Args.insert(Args.end(), {"--auth", Tls.Auth});
            return Args;
        },
        0);
}

std::vector<std::string> TMailSink::Sessions() const {
    return Exists(dir_ / "sessions.log") ? Lines(ReadFile(dir_ / "sessions.log"))
                                         : std::vector<std::string>{};
}

void TMailSink::Start(const std::function<std::vector<std::string>()>& Command, int Port) {
    for (int attempt = 0; attempt < 5 && !server_; ++attempt) {
        port_ = Port ? Port : FreeLocalPort();
        auto server = std::make_unique<ChildProcess>(Command());
        if (WaitFor([&] { return CanConnect(port_) || !server->Running(); },
                    std::chrono::seconds(20)) &&
            server->Running())
            server_ = std::move(server);
    }
    if (!server_) throw std::runtime_error("the SMTP server did not start");
}

std::vector<std::string> TMailSink::Messages() const {
    std::vector<std::pair<fs::file_time_type, std::string>> files;
    std::error_code ec;
    for (auto& e : fs::directory_iterator(dir_ / "maildir/new", ec))
        files.emplace_back(e.last_write_time(), e.path().string());
    std::sort(files.begin(), files.end());
    std::vector<std::string> out;
    for (auto& f : files) out.push_back(ReadFile(f.second));
    return out;
}

bool TMailSink::WaitForMessages(size_t count, std::chrono::milliseconds timeout) {
    return WaitFor([&] { return Messages().size() >= count; }, timeout);
}

std::string MailHeader(const std::string& raw, const std::string& name) {
    std::string head, body;
    SplitMessage(raw, head, body);
    std::string want = Lower(name) + ":";
    std::vector<std::string> lines = Lines(head);
    for (size_t i = 0; i < lines.size(); ++i) {
        if (Lower(lines[i]).rfind(want, 0) != 0) continue;
        std::string value = lines[i].substr(want.size());
        while (i + 1 < lines.size() && !lines[i + 1].empty() &&
               (lines[i + 1][0] == ' ' || lines[i + 1][0] == '\t'))
            value += " " + lines[++i].substr(1);
        size_t b = value.find_first_not_of(" \t");
        return b == std::string::npos ? "" : value.substr(b);
    }
    return "";
}

std::vector<TMailPart> MailParts(const std::string& raw) {
    std::vector<TMailPart> parts;
    CollectParts(raw, parts);
    return parts;
}

}  // namespace testsupport
