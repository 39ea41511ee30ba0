// One e-mail through an SMTP server: plain body lines and at most one file attachment, without
// authentication. Any thread; every call uses its own connection.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

// A mail that could not be built or sent; the message is the reason.
class ESmtpError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct TSmtpMail {
    std::string Host;
    int Port = 25;
    std::string MailAgent;  // the "X-Mailer" header; none when empty
    std::string Subject;
    std::string FromAddress;
    std::string FromName;  // display name of From; none when empty
    std::vector<std::string> ToAddresses;
    std::vector<std::string> BodyLines;  // joined with CR LF
    // A file read at sending time and attached under its own name (without the directory);
    // none when empty.
    std::string AttachmentPath;
};

// Connects (libcurl's default connect time-out), sends Mail and disconnects. Throws ESmtpError
// with the reason when the attachment is missing, the server cannot be reached, refuses an
// address or the message, or stops answering.
void SendSmtpMail(const TSmtpMail& Mail);
