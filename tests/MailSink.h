// A real SMTP server for tests: aiosmtpd with its Maildir handler, on a free port of
// 127.0.0.1, plus the little MIME reading the tests need to check what arrived.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "tests/TestSupport.h"

namespace testsupport {

// A port on 127.0.0.1 that was free a moment ago.
int FreeLocalPort();

class TMailSink {
  public:
    // On a free port, or on Port when one is given (a server that comes back where it was).
    explicit TMailSink(int Port = 0);
    int Port() const { return port_; }
    // Raw text of every message received so far, oldest first.
    std::vector<std::string> Messages() const;
    bool WaitForMessages(size_t count,
                         std::chrono::milliseconds timeout = std::chrono::seconds(20));

  private:
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
