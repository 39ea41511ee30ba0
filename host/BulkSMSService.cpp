#include "host/BulkSMSService.h"

#include "host/uConfigCheck.h"
#include "support/Util.h"

TsvcBrovaCSVSender::TsvcBrovaCSVSender(std::string ExePath, TClock Clock)
    : ExePath(std::move(ExePath)), Clock(std::move(Clock)) {}

void TsvcBrovaCSVSender::ServiceStart(TEventLoop& Loop) {
    const std::string ExeDirectory = ExecutableDirectory(ExePath);
    DtaMdlBulkSMS = std::make_unique<TDtaMdlBulkSMS>(
        Loop, Clock, ExePath, [ExeDirectory](const IXMLBulkCSVSenderType& Config) {
            return ::CheckConfiguration(Config, ExeDirectory);
        });
}

void TsvcBrovaCSVSender::ServiceStop() { DtaMdlBulkSMS.reset(); }

void TsvcBrovaCSVSender::ReleaseAtProcessEnd() { DtaMdlBulkSMS.reset(); }

TServiceDefinition TsvcBrovaCSVSender::Definition() const {
    return {kServiceName, kServiceDisplayName, ExePath};
}

std::vector<std::string> TsvcBrovaCSVSender::CheckConfiguration() const {
    return CheckConfigurationFile(ExePath);
}

TCommandLine ParseCommandLine(const std::vector<std::string>& Args) {
    TCommandLine Result;
    for (const std::string& Arg : Args) {
        if (Arg.size() < 2 || (Arg[0] != '/' && Arg[0] != '-')) continue;
        const std::string Switch = UpperCase(Arg.substr(1));
        if (Switch == "INSTALL")
            Result.Install = true;
        else if (Switch == "UNINSTALL")
            Result.Uninstall = true;
        else if (Switch == "SILENT")
            Result.Silent = true;
        else if (Switch == "CONSOLE")
            Result.Console = true;
        else if (Switch == "CHECK")
            Result.Check = true;
    }
    return Result;
}
