// One e-mail through an SMTP server: plain body lines and at most one file attachment, over
// plain SMTP, STARTTLS or implicit TLS, with or without authentication. Any thread; every call
// uses its own connection.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

// A mail that could not be built or sent; the message is the reason. Step names the command
// the server refused ("AUTH", "STARTTLS", "MAIL", ...); "" when it refused none.
class ESmtpError : public std::runtime_error {
  public:
    explicit ESmtpError(const std::string& Reason, std::string Refused = "")
        : std::runtime_error(Reason), Step(std::move(Refused)) {}
    std::string Step;
};

// none: plain SMTP; starttls: upgraded to TLS, or no mail; tls: TLS from the first byte.
enum class TMailSecurity { None, StartTls, Tls };

// A Mail Security value: "" and "none", "starttls", "tls" in any letter case. False for any
// other text.
bool ParseMailSecurity(const std::string& Text, TMailSecurity& Security);

struct TSmtpMail {
    std::string Host;  // a name, an IPv4 address or an IPv6 literal (brackets optional)
    int Port = 25;
    TMailSecurity Security = TMailSecurity::None;
    // AUTH with a mechanism the server offers when Username is not empty; refused without TLS
    // unless Host is loopback, so that the password never travels in clear.
    std::string Username;
    std::string Password;
    // A PEM bundle trusted instead of the system's store; the certificate and the host name are
    // verified either way.
    std::string CAFile;
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
// address or the message, or stops answering; where the server refused, the reason is its own
// reply line.
void SendSmtpMail(const TSmtpMail& Mail);

// The session a mail would open (greeting, EHLO, STARTTLS and AUTH as Mail says), then NOOP and
// QUIT: no message. Returns the server's greeting line; throws ESmtpError as SendSmtpMail.
std::string TrySmtpSession(const TSmtpMail& Mail);
