#include "host/dBulkSMSMain.h"

#include <stdexcept>

#include "platform/Files.h"
#include "support/uLogFile.h"

namespace {

constexpr const char* kConfigFileName = "BrovaCSVSenderConfig.xml";

// A negative interval would wrap to weeks; it is taken as "never fires", as 0 is.
uint32_t TimerInterval(int Milliseconds) {
    return Milliseconds > 0 ? static_cast<uint32_t>(Milliseconds) : 0;
}

}  // namespace

std::string ProcessLogFileName(const std::string& ExePath) {
    const size_t Slash = ExePath.rfind('/');
    const size_t Dot = ExePath.rfind('.');
    if (Dot != std::string::npos && (Slash == std::string::npos || Dot > Slash))
        return ExePath.substr(0, Dot) + ".Log";
    return ExePath + ".Log";
}

std::string ConfigFileName(const std::string& ExePath) {
    const size_t Slash = ExePath.rfind('/');
    return (Slash == std::string::npos ? std::string() : ExePath.substr(0, Slash + 1)) +
           kConfigFileName;
}

TDtaMdlBulkSMS::TDtaMdlBulkSMS(TEventLoop& Loop, TClock Clock, const std::string& ExePath)
    : Loop(Loop),
      Clock(Clock ? std::move(Clock) : TClock(Now)),
      ExePath(ExePath),
      tmrPollDirectory(Loop),
      tmrGetStatusses(Loop),
      tmrGetReplies(Loop) {
    tmrPollDirectory.OnTimer = [this] { tmrPollDirectoryTimer(); };
    tmrGetStatusses.OnTimer = [this] { tmrGetStatussesTimer(); };
    tmrGetReplies.OnTimer = [this] { tmrGetRepliesTimer(); };

    LogFile = ProcessLogFileName(ExePath);
    try {
        StartUp();
    } catch (const std::exception& E) {
        Log(std::string("Starting up exception: (") + E.what() + ")");
        throw std::runtime_error("Error During Creation of DataModule");
    } catch (...) {
        Log("Starting up exception: (Unknown error)");
        throw std::runtime_error("Error During Creation of DataModule");
    }
}

TDtaMdlBulkSMS::~TDtaMdlBulkSMS() { DataModuleDestroy(); }

void TDtaMdlBulkSMS::Log(const std::string& Msg) {
    WriteToLog(Msg, LogFile, kProcessLogMaxSizeKB, true, true, Clock());
}

void TDtaMdlBulkSMS::StartUp() {
    Log("Brova CSV Bulk Messenger Started up.");
    Stopping = false;
    try {
        const std::string ConfigPath = ConfigFileName(ExePath);
        if (!FileExists(ConfigPath)) throw std::runtime_error("Config file does not exist");
        Config = LoadBulkCSVSender(ConfigPath);

        const auto OperationalTime = Config->GetOperationalTime();
        WindowStart = OperationalTime->GetStartTime();
        WindowEnd = OperationalTime->GetEndTime();

        const auto Settings = Config->GetSettings();
        tmrPollDirectory.SetInterval(TimerInterval(Settings->GetPollInterval()));
        const int ReplyInterval = Settings->GetReplyInterval();
        if (ReplyInterval > kMinCollectionIntervalMs) {
            tmrGetReplies.SetInterval(TimerInterval(ReplyInterval));
            tmrGetReplies.Arm();
        }
        const int StatusInterval = Settings->GetStatusInterval();
        if (StatusInterval > kMinCollectionIntervalMs) {
            tmrGetStatusses.SetInterval(TimerInterval(StatusInterval));
            tmrGetStatusses.Arm();
        }

        const auto Vexo = Config->GetVexo();
        GatewayURL = Vexo->GetURL();
        GatewayUsername = Vexo->GetUsername();
        GatewayPassword = Vexo->GetPassword();

        tmrPollDirectory.Arm();
        // The start, and with it the service's report of running, waits for this first poll.
        tmrPollDirectoryTimer();
    } catch (const std::exception& E) {
        throw std::runtime_error(std::string("DtaMdl Startup Error : ") + E.what());
    }
}

void TDtaMdlBulkSMS::ShutDown() {
    Stopping = true;
    tmrPollDirectory.Disarm();
    tmrGetStatusses.Disarm();
    tmrGetReplies.Disarm();
    // Workers keep their own reference and go on with it until they end.
    Config.reset();
    Log("Brova CSV Bulk Messenger Shut down.");
}

void TDtaMdlBulkSMS::DataModuleDestroy() {
    try {
        ShutDown();
    } catch (const std::exception& E) {
        Log(std::string("Shutting down exception (") + E.what() + ")");
    }
}

void TDtaMdlBulkSMS::tmrPollDirectoryTimer() {
    if (Stopping) {
        tmrPollDirectory.Disarm();
        tmrGetStatusses.Disarm();
        tmrGetReplies.Disarm();
        return;
    }
    tmrPollDirectory.Disarm();
    // Ticks never overlap: the next one comes one interval after this one ended.
    if (!Stopping) tmrPollDirectory.Arm();
}

void TDtaMdlBulkSMS::tmrGetStatussesTimer() {
    tmrGetStatusses.Disarm();
    tmrGetStatusses.Arm();
}

void TDtaMdlBulkSMS::tmrGetRepliesTimer() {
    tmrGetReplies.Disarm();
    tmrGetReplies.Arm();
}
