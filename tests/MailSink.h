// A real SMTP server for tests: aiosmtpd with its Maildir handler, on a free port of
// 127.0.0.1, plus the little MIME reading the tests need to check what arrived.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/TestSupport.h"

namespace testsupport {

// A port on 127.0.0.1 that was free a moment ago.
int FreeLocalPort();

// A private CA and server certificates it signed, made by openssl in Dir: for localhost and
// 127.0.0.1, for another host name, and one that has expired.
struct TTestCertificates {
    explicit TTestCertificates(const std::string& Dir);
    std::string CA, Key, Cert, WrongHostCert, ExpiredCert;
};

// How a sink over TLS (tests/tls_smtp_server.py) takes its mail.
struct TTlsMailSink {
    std::string Mode;  // "starttls" (required) or "tls" (from the first byte)
    std::string Cert, Key;
    std::string Auth;  // "USER:PASSWORD" when AUTH is required
};

class TMailSink {
  public:
    // On a free port, or on Port when one is given (a server that comes back where it was).
    explicit TMailSink(int Port = 0);
    explicit TMailSink(const TTlsMailSink& Tls);
    int Port() const { return port_; }
    // A sink over TLS: one line per AUTH attempt and message, "AUTH PLAIN tls=TLSv1.3 accepted",
    // "DATA tls=TLSv1.3 auth=yes".
    std::vector<std::string> Sessions() const;
    // Raw text of every message received so far, oldest first.
    std::vector<std::string> Messages() const;
    bool WaitForMessages(size_t count,
                         std::chrono::milliseconds timeout = std::chrono::seconds(20));

  private:
    void Start(const std::function<std::vector<std::string>()>& Command, int Port);
    TempDir dir_;
    int port_ = 0;
    std::unique_ptr<ChildProcess> server_;
};

// The first header of that name (case-insensitive), unfolded, or "".
std::string MailHeader(const std::string& raw, const std::string& name);

struct TMailPart {
    std::string ContentType;  // e.g. "text/plain; charset=..."
    std::string FileName;     // from Content-Disposition, "" for the body
    std::string Body;         // with base64 or quoted-printable undone
};
// The leaf parts of a message (one part for a message that is not multipart).
std::vector<TMailPart> MailParts(const std::string& raw);

}  // namespace testsupport
