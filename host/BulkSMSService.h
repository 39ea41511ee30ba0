// The service: its registration, its start and stop handlers, and the command line that
// chooses between installing, removing and running it.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/dBulkSMSMain.h"
#include "platform/DateTime.h"
#include "platform/EventLoop.h"
#include "platform/ServiceHost.h"

constexpr const char* kServiceName = "svcBrovaCSVSender";
constexpr const char* kServiceDisplayName = "Brova CSV Sender";
constexpr const char* kApplicationTitle = "Brova CSV Sender Service";
// The account the unit runs the service as unless /INSTALL names another (/USER), and the
// state directory the service manager makes for it under /var/lib.
constexpr const char* kServiceUser = "brova";
constexpr const char* kServiceStateDirectory = "brova-csv-sender";

class TsvcBrovaCSVSender {
  public:
    // ExePath: the running executable; Clock: the wall clock handed to the dispatcher.
    TsvcBrovaCSVSender(std::string ExePath, TClock Clock);

    // Creates the dispatcher, which runs StartUp (logging what CheckConfiguration finds) and
    // the first poll. Its failure leaves this handler as the exception "Error During Creation
    // of DataModule". From here on a change of the figures asks Loop for a state report.
    // Service thread only.
    void ServiceStart(TEventLoop& Loop);
    // Frees the dispatcher, which shuts it down, then lets running workers reach a point where
    // they may stop, within the unit's stop time-out less a margin, asking the service manager
    // for more time meanwhile (ExtendStopTimeout), and writes the metrics file a last time.
    // Never fails. Service thread only.
    void ServiceStop();
    // At process end: frees a dispatcher that no stop handler freed (a shutdown), once.
    // Only after the service thread has ended, before its loop goes.
    void ReleaseAtProcessEnd();
    // The figures the Running state shows (support/uServiceFigures.h). Any thread.
    std::string StatusFigures() const;

    // The registration: name, display name and this executable.
    TServiceDefinition Definition(const std::string& User) const;

    // What in the configuration beside the executable would fail at run time, one line each
    // (host/uConfigCheck.h). Contacts nothing and writes nothing.
    std::vector<std::string> CheckConfiguration() const;

    std::string ExePath;
    TClock Clock;
    std::unique_ptr<TDtaMdlBulkSMS> DtaMdlBulkSMS;
    // Asks the service manager for this much more time to stop; unset outside it.
    std::function<void(std::chrono::microseconds)> ExtendStopTimeout;
    // Where the figures go in the Prometheus text format after every tick; "" for nowhere.
    std::string MetricsFile;

  private:
    void LetWorkersStop();
};

struct TCommandLine {
    bool Install = false;
    bool Uninstall = false;
    bool Silent = false;
    bool Console = false;
    bool Check = false;
    bool Online = false;  // with /CHECK: the gateway and the mail relay tried too
    bool Validate = false;
    std::string User = kServiceUser;  // /USER NAME: whom the installed unit runs as
    bool UserMissing = false;         // /USER came last
    std::string ValidateFile;      // "" when /VALIDATE came last
    std::string ValidateProtocol;  // "": the entry whose poll directory holds the file
};

// Switches start with "/" or "-" and are matched in any letter case; anything else is
// ignored (and so runs the service). The argument after /VALIDATE is its file, whatever it
// looks like (an absolute path starts with "/"); the one after that, unless it is a switch
// named here, its protocol entry. The argument after /USER is its name.
TCommandLine ParseCommandLine(const std::vector<std::string>& Args);
