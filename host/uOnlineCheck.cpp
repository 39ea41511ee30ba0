#include "host/uOnlineCheck.h"

#include <exception>

#include "gateway/uVexocspWS.h"
#include "support/Util.h"
#include "worker/uSmtpMail.h"

namespace {

void CheckGateway(const IXMLVexoType& Vexo, TOnlineCheck& Result) {
    const std::string Where = "Gateway " + Trim(Vexo.GetURL()) + ": ";
    try {
        GetIVexoWSSoap(false, Trim(Vexo.GetURL()), nullptr, Vexo.GetCAFile())
            ->Login(Vexo.GetUsername(), Vexo.GetPassword());
        Result.Lines.push_back(Where + "Login accepted");
    } catch (const ESOAPFault& E) {
        Result.Lines.push_back(Where + "Login refused: " + E.what());
        Result.Worked = false;
    } catch (const std::exception& E) {
        Result.Lines.push_back(Where + E.what());
        Result.Worked = false;
    }
}

void CheckMail(const IXMLMailType& Mail, TOnlineCheck& Result) {
    bool Send = false;
    try {
        Send = Mail.GetSendConfirmation();
    } catch (const std::exception&) {
        // Reported by the offline check.
    }
    if (!Send) {
        Result.Lines.push_back("SMTP not tried: SendConfirmation is not true");
        return;
    }
    TSmtpMail Session;
    Session.Host = Trim(Mail.GetHost());
    Session.Username = Mail.GetUsername();
    Session.Password = Mail.GetPassword();
    Session.CAFile = Mail.GetCAFile();
    std::string Where = "SMTP " + Session.Host + ": ";
    try {
        Session.Port = Mail.GetPort();
        Where = "SMTP " + Session.Host + " port " + std::to_string(Session.Port) + ": ";
        if (!ParseMailSecurity(Mail.GetSecurity(), Session.Security))
            throw ESmtpError("Security \"" + Mail.GetSecurity() +
                             "\" is not none, starttls or tls");
        const std::string Greeting = TrySmtpSession(Session);
        Result.Lines.push_back(Where + "session accepted (" + Greeting + ")" +
                               (Session.Username.empty() ? "" : ", AUTH as " + Session.Username));
    } catch (const ESmtpError& E) {
        Result.Lines.push_back(Where + (E.Step.empty() ? "" : E.Step + " failed: ") + E.what());
        Result.Worked = false;
    } catch (const std::exception& E) {
        Result.Lines.push_back(Where + E.what());
        Result.Worked = false;
    }
}

}  // namespace

TOnlineCheck CheckOnline(const IXMLBulkCSVSenderType& Config) {
    TOnlineCheck Result;
    CheckGateway(*Config.GetVexo(), Result);
    CheckMail(*Config.GetSettings()->GetMail(), Result);
    return Result;
}
