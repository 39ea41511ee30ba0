#include "worker/uSmtpMail.h"

#include <curl/curl.h>

#include <algorithm>
#include <memory>

#include "platform/Files.h"
#include "support/Util.h"

namespace {

// A server that accepts the connection and then stops answering must not hold a worker for ever.
constexpr long kSmtpStallSeconds = 120;
constexpr long kSmtpStallBytesPerSecond = 1;
// Text bytes per encoded header word: 60 base64 characters, within the 75 a word may have.
constexpr size_t kEncodedWordBytes = 45;

// libcurl's global state, made before any worker thread can send; never torn down, because
// workers may still be sending when the process ends.
const bool kCurlReady = [] {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    return true;
}();

struct TCurlDeleter {
    void operator()(CURL* C) const { curl_easy_cleanup(C); }
    void operator()(curl_slist* L) const { curl_slist_free_all(L); }
    void operator()(curl_mime* M) const { curl_mime_free(M); }
};

// A header value on one line: line breaks in configured texts must not start new headers.
std::string OneLine(const std::string& Text) {
    std::string Out;
    Out.reserve(Text.size());
    for (char C : Text)
        if (C != '\r' && C != '\n') Out += C;
    return Out;
}

bool IsAscii(const std::string& Text) {
    for (char C : Text)
        if (static_cast<unsigned char>(C) >= 0x80) return false;
    return true;
}

std::string Base64(const std::string& Data) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string Out;
    size_t I = 0;
    for (; I + 2 < Data.size(); I += 3) {
        const unsigned V = (unsigned char)Data[I] << 16 | (unsigned char)Data[I + 1] << 8 |
                           (unsigned char)Data[I + 2];
        Out += kAlphabet[V >> 18 & 63];
        Out += kAlphabet[V >> 12 & 63];
        Out += kAlphabet[V >> 6 & 63];
        Out += kAlphabet[V & 63];
    }
    if (I < Data.size()) {
        unsigned V = (unsigned char)Data[I] << 16;
        if (I + 1 < Data.size()) V |= (unsigned char)Data[I + 1] << 8;
        Out += kAlphabet[V >> 18 & 63];
        Out += kAlphabet[V >> 12 & 63];
        Out += I + 1 < Data.size() ? kAlphabet[V >> 6 & 63] : '=';
        Out += '=';
    }
    return Out;
}

// Header text: as it is when plain ASCII, else encoded words (the texts are UTF-8), each short
// enough for a header line and holding whole characters only.
std::string HeaderText(const std::string& Text) {
    const std::string Line = OneLine(Text);
    if (IsAscii(Line)) return Line;
    std::string Out;
    size_t From = 0;
    while (From < Line.size()) {
        size_t To = std::min(Line.size(), From + kEncodedWordBytes);
        // Back up to the start of a character (continuation bytes are 10xxxxxx).
        while (To < Line.size() && To > From + 1 &&
               (static_cast<unsigned char>(Line[To]) & 0xC0) == 0x80)
            --To;
        if (!Out.empty()) Out += ' ';
        Out += "=?UTF-8?B?" + Base64(Line.substr(From, To - From)) + "?=";
        From = To;
    }
    return Out;
}

std::string Mailbox(const std::string& Address) { return "<" + OneLine(Address) + ">"; }

std::string FromHeader(const TSmtpMail& Mail) {
    if (Mail.FromName.empty()) return "From: " + Mailbox(Mail.FromAddress);
    std::string Name = OneLine(Mail.FromName);
    if (!IsAscii(Name)) return "From: " + HeaderText(Name) + " " + Mailbox(Mail.FromAddress);
    std::string Quoted = "\"";
    for (char C : Name) {
        if (C == '"' || C == '\\') Quoted += '\\';
        Quoted += C;
    }
    return "From: " + Quoted + "\" " + Mailbox(Mail.FromAddress);
}

// The name a mail client shows for the attachment: it takes either slash for a separator.
std::string AttachmentNameOf(const std::string& Path) {
    const size_t Slash = Path.find_last_of("/\\");
    return Slash == std::string::npos ? Path : Path.substr(Slash + 1);
}

// Server answers are read by libcurl itself; nothing of them goes anywhere else.
size_t Discard(char*, size_t Size, size_t Count, void*) { return Size * Count; }

void Check(CURLcode Code, const char* What) {
    if (Code != CURLE_OK) throw ESmtpError(std::string(What) + ": " + curl_easy_strerror(Code));
}

// The commands a session sends, as a refusal names them.
constexpr const char* kCommands[] = {"EHLO", "HELO", "STARTTLS", "AUTH", "MAIL",
                                     "RCPT", "DATA", "NOOP",     "RSET", "QUIT"};

// The server's lines that matter for a report: its greeting, its last refusal and the command
// it refused (the first word only: an AUTH line holds the account).
struct TServerLines {
    std::string Greeting;
    std::string Refusal;
    std::string Command;
    std::string RefusedCommand;
};

// A reply line as a log line may hold it: without its line break, control characters as spaces.
std::string ReplyLine(const char* Data, size_t Size) {
    std::string Line(Data, Size);
    while (!Line.empty() && (Line.back() == '\n' || Line.back() == '\r')) Line.pop_back();
    for (char& C : Line)
        if (static_cast<unsigned char>(C) < 0x20 || C == 0x7F) C = ' ';
    return Line;
}

int OnSessionText(CURL*, curl_infotype Type, char* Data, size_t Size, void* Lines) {
    auto& L = *static_cast<TServerLines*>(Lines);
    if (Type == CURLINFO_HEADER_OUT && Size > 0) {
        // Only a command word is kept: the lines after AUTH carry the credentials.
        const std::string Line(Data, Size);
        const std::string Word = UpperCase(Line.substr(0, Line.find_first_of(" \r\n")));
        for (const char* Command : kCommands)
            if (Word == Command) L.Command = Word;
        return 0;
    }
    if (Type != CURLINFO_HEADER_IN || Size == 0) return 0;
    const std::string Line = ReplyLine(Data, Size);
    if (L.Greeting.empty()) L.Greeting = Line;
    // 4xx and 5xx refuse; of a reply of several lines the last is kept.
    if (Line[0] == '4' || Line[0] == '5') {
        L.Refusal = Line;
        L.RefusedCommand = L.Command;
    }
    return 0;
}

// An IPv6 literal goes into the URL in brackets.
std::string UrlHostPart(const std::string& Host) {
    if (Host.find(':') != std::string::npos && Host.front() != '[') return "[" + Host + "]";
    return Host;
}

// Everything but the message: where, how securely, as whom, and what to keep of the answers.
void SetUpSession(CURL* C, const TSmtpMail& Mail, std::string& Url, char* ErrorText,
                  TServerLines& Lines) {
    if (!Mail.Username.empty() && Mail.Security == TMailSecurity::None &&
        !IsLoopbackHost(Mail.Host))
        throw ESmtpError("AUTH to " + Mail.Host +
                         " over plain SMTP is refused: the password would travel in clear "
                         "(Security starttls or tls)");
    Url = std::string(Mail.Security == TMailSecurity::Tls ? "smtps://" : "smtp://") +
          UrlHostPart(Mail.Host) + ":" + std::to_string(Mail.Port);
    curl_easy_setopt(C, CURLOPT_URL, Url.c_str());
    curl_easy_setopt(C, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
    curl_easy_setopt(C, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(C, CURLOPT_ERRORBUFFER, ErrorText);
    curl_easy_setopt(C, CURLOPT_WRITEFUNCTION, Discard);
    curl_easy_setopt(C, CURLOPT_LOW_SPEED_LIMIT, kSmtpStallBytesPerSecond);
    curl_easy_setopt(C, CURLOPT_LOW_SPEED_TIME, kSmtpStallSeconds);
    if (Mail.Security == TMailSecurity::StartTls)
        curl_easy_setopt(C, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
    curl_easy_setopt(C, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(C, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!Mail.CAFile.empty()) curl_easy_setopt(C, CURLOPT_CAINFO, Mail.CAFile.c_str());
    if (!Mail.Username.empty()) {
        curl_easy_setopt(C, CURLOPT_USERNAME, Mail.Username.c_str());
        curl_easy_setopt(C, CURLOPT_PASSWORD, Mail.Password.c_str());
    }
    curl_easy_setopt(C, CURLOPT_DEBUGFUNCTION, OnSessionText);
    curl_easy_setopt(C, CURLOPT_DEBUGDATA, &Lines);
    curl_easy_setopt(C, CURLOPT_VERBOSE, 1L);
}

// The reason a session failed: the server's own refusal where it refused, else libcurl's.
void ThrowFailure(CURLcode Code, const char* ErrorText, const TServerLines& Lines,
                  const std::string& Host) {
    if (Code == CURLE_PEER_FAILED_VERIFICATION)
        throw ESmtpError("certificate of " + Host +
                         " not trusted: " + (ErrorText[0] ? ErrorText : curl_easy_strerror(Code)));
    if (!Lines.Refusal.empty()) throw ESmtpError(Lines.Refusal, Lines.RefusedCommand);
    std::string Reason = curl_easy_strerror(Code);
    if (ErrorText[0]) Reason += std::string(": ") + ErrorText;
    throw ESmtpError(Reason);
}

}  // namespace

bool ParseMailSecurity(const std::string& Text, TMailSecurity& Security) {
    const std::string Word = UpperCase(Trim(Text));
    if (Word.empty() || Word == "NONE")
        Security = TMailSecurity::None;
    else if (Word == "STARTTLS")
        Security = TMailSecurity::StartTls;
    else if (Word == "TLS")
        Security = TMailSecurity::Tls;
    else
        return false;
    return true;
}

std::string TrySmtpSession(const TSmtpMail& Mail) {
    (void)kCurlReady;
    std::unique_ptr<CURL, TCurlDeleter> Curl(curl_easy_init());
    if (!Curl) throw ESmtpError("Cannot create the SMTP client");
    std::string Url;
    char ErrorText[CURL_ERROR_SIZE] = "";
    TServerLines Lines;
    SetUpSession(Curl.get(), Mail, Url, ErrorText, Lines);
    // Without recipients libcurl sends this command instead of a message.
    curl_easy_setopt(Curl.get(), CURLOPT_CUSTOMREQUEST, "NOOP");
    const CURLcode Code = curl_easy_perform(Curl.get());
    if (Code != CURLE_OK) ThrowFailure(Code, ErrorText, Lines, Mail.Host);
    return Lines.Greeting;
}

void SendSmtpMail(const TSmtpMail& Mail) {
    (void)kCurlReady;
    if (Mail.ToAddresses.empty()) throw ESmtpError("No recipient address");
    if (!Mail.AttachmentPath.empty() && !FileExists(Mail.AttachmentPath))
        throw ESmtpError("Attachment file not found: " + Mail.AttachmentPath);

    std::unique_ptr<CURL, TCurlDeleter> Curl(curl_easy_init());
    if (!Curl) throw ESmtpError("Cannot create the SMTP client");
    CURL* C = Curl.get();

    std::unique_ptr<curl_slist, TCurlDeleter> Recipients;
    std::string ToList;
    for (const std::string& To : Mail.ToAddresses) {
        curl_slist* Next = curl_slist_append(Recipients.get(), Mailbox(To).c_str());
        if (!Next) throw ESmtpError("Out of memory");
        Recipients.release();
        Recipients.reset(Next);
        ToList += (ToList.empty() ? "" : ", ") + Mailbox(To);
    }

    std::vector<std::string> HeaderLines = {FromHeader(Mail), "To: " + ToList,
                                            "Subject: " + HeaderText(Mail.Subject)};
    if (!Mail.MailAgent.empty()) HeaderLines.push_back("X-Mailer: " + HeaderText(Mail.MailAgent));
    std::unique_ptr<curl_slist, TCurlDeleter> Headers;
    for (const std::string& H : HeaderLines) {
        curl_slist* Next = curl_slist_append(Headers.get(), H.c_str());
        if (!Next) throw ESmtpError("Out of memory");
        Headers.release();
        Headers.reset(Next);
    }

    std::string Body;
    for (const std::string& Line : Mail.BodyLines) Body += Line + "\r\n";

    std::unique_ptr<curl_mime, TCurlDeleter> Mime(curl_mime_init(C));
    if (!Mime) throw ESmtpError("Cannot create the message");
    curl_mimepart* Text = curl_mime_addpart(Mime.get());
    Check(curl_mime_data(Text, Body.data(), Body.size()), "Message body");
    Check(curl_mime_type(Text, "text/plain; charset=UTF-8"), "Message body");
    Check(curl_mime_encoder(Text, "quoted-printable"), "Message body");
    if (!Mail.AttachmentPath.empty()) {
        curl_mimepart* File = curl_mime_addpart(Mime.get());
        Check(curl_mime_filedata(File, Mail.AttachmentPath.c_str()), "Attachment");
        Check(curl_mime_filename(File, AttachmentNameOf(Mail.AttachmentPath).c_str()),
              "Attachment");
        Check(curl_mime_type(File, "application/octet-stream"), "Attachment");
        Check(curl_mime_encoder(File, "base64"), "Attachment");
    }

    std::string Url;
    const std::string From = Mailbox(Mail.FromAddress);
    char ErrorText[CURL_ERROR_SIZE] = "";
    TServerLines Lines;
    SetUpSession(C, Mail, Url, ErrorText, Lines);
    curl_easy_setopt(C, CURLOPT_MAIL_FROM, From.c_str());
    curl_easy_setopt(C, CURLOPT_MAIL_RCPT, Recipients.get());
    curl_easy_setopt(C, CURLOPT_HTTPHEADER, Headers.get());
    curl_easy_setopt(C, CURLOPT_MIMEPOST, Mime.get());
    const CURLcode Code = curl_easy_perform(C);
    if (Code != CURLE_OK) ThrowFailure(Code, ErrorText, Lines, Mail.Host);
}
