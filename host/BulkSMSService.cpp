#include "host/BulkSMSService.h"

#include "support/Util.h"

TsvcBrovaCSVSender::TsvcBrovaCSVSender(std::string ExePath, TClock Clock)
    : ExePath(std::move(ExePath)), Clock(std::move(Clock)) {}

void TsvcBrovaCSVSender::ServiceStart(TEventLoop& Loop) {
    DtaMdlBulkSMS = std::make_unique<TDtaMdlBulkSMS>(Loop, Clock, ExePath);
}

void TsvcBrovaCSVSender::ServiceStop() { DtaMdlBulkSMS.reset(); }

void TsvcBrovaCSVSender::ReleaseAtProcessEnd() { DtaMdlBulkSMS.reset(); }

TServiceDefinition TsvcBrovaCSVSender::Definition() const {
    return {kServiceName, kServiceDisplayName, ExePath};
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
    }
    return Result;
}
