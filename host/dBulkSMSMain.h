// The dispatcher: holds the configuration from start-up to shut-down and runs the three
// timers of directory polling, status collection and reply collection on the service thread.
#pragma once

#include <memory>
#include <string>

#include "config/uBrovaCSVSenderConfig.h"
#include "platform/DateTime.h"
#include "platform/EventLoop.h"

// Collection runs only with an interval above this many milliseconds.
constexpr int kMinCollectionIntervalMs = 1000;
// Size limit of the process log before it rolls over.
constexpr uint32_t kProcessLogMaxSizeKB = 1024;

// Created, used and destroyed on the service thread only; no field needs a lock.
class TDtaMdlBulkSMS {
  public:
    // Sets LogFile from ExePath and runs StartUp. A failed start-up is logged and then
    // thrown as "Error During Creation of DataModule"; no ShutDown follows it. The timers
    // are created on Loop, which must outlive the dispatcher. Clock is the wall clock.
    TDtaMdlBulkSMS(TEventLoop& Loop, TClock Clock, const std::string& ExePath);
    // Runs DataModuleDestroy.
    ~TDtaMdlBulkSMS();
    TDtaMdlBulkSMS(const TDtaMdlBulkSMS&) = delete;
    TDtaMdlBulkSMS& operator=(const TDtaMdlBulkSMS&) = delete;

    // Logs the start, loads the configuration beside the executable, arms the timers and
    // runs the first poll. Throws "DtaMdl Startup Error : <reason>".
    void StartUp();
    // Marks stopping, disarms the timers, releases the configuration and logs the shut-down.
    void ShutDown();
    // ShutDown with its failure logged instead of thrown.
    void DataModuleDestroy();

    // The timer handlers; StartUp also calls the poll handler once directly.
    void tmrPollDirectoryTimer();
    void tmrGetStatussesTimer();
    void tmrGetRepliesTimer();

    // One line in the process log, with its time stamp, rolling over above 1024 KB.
    void Log(const std::string& Msg);

    TEventLoop& Loop;
    TClock Clock;
    std::string ExePath;

    TTimer tmrPollDirectory;
    TTimer tmrGetStatusses;
    TTimer tmrGetReplies;
    std::string LogFile;
    std::shared_ptr<IXMLBulkCSVSenderType> Config;
    std::string GatewayURL;
    std::string GatewayUsername;
    std::string GatewayPassword;
    std::string WindowStart;
    std::string WindowEnd;
    std::string Token;
    bool Stopping = false;
};

// The executable's path with its extension replaced by ".Log".
std::string ProcessLogFileName(const std::string& ExePath);
// BrovaCSVSenderConfig.xml in the executable's directory.
std::string ConfigFileName(const std::string& ExePath);
