// The service executable as the system under test: copied into a fresh directory with its
// configuration written beside it, one In, Status and Reply directory per protocol entry, run in
// console mode against the gateway simulator (and a mail sink when asked), stopped with SIGTERM.
// With BROVA_TEST_SERVICE_EXE set, that executable is tested instead, started through the
// command BROVA_TEST_LAUNCHER names (the Windows build under Wine).
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/TestSupport.h"

namespace testsupport {

// The configuration values a test chooses; the rest of the configuration is fixed.
struct TServiceSettings {
    std::string GatewayUrl;
    std::string Username = "gwuser";
    std::string Password = "gwsecret";
    // One protocol entry per name, each with its own directories under the service's root.
    std::vector<std::string> Protocols = {"SMS"};
    std::string Format;
    std::string Split = "0";
    std::string MaxMessages = "500";
    std::string ValidSACellExtensions = "082;083";
    int PollInterval = 200;
    // 1000 or less leaves that collection off.
    int StatusInterval = 0;
    int ReplyInterval = 0;
    bool SendConfirmation = false;
    int SmtpPort = 25;
    std::string SenderEmail = "results@example.com";
    std::string MailAgent = "Brova Mailer 2.1";
    std::string Subject = "Bulk file result";
    std::string FromAddress = "sender@example.com";
    std::string FromName = "Brova Sender";
    std::vector<std::string> BodyText = {"Please find the result of your file attached.",
                                         "Kind regards"};
    std::vector<std::string> ErrorText = {"Your file could not be processed."};
    // Shortens the waits between retried gateway calls.
    int RetryDelayMs = 10;
    // More "NAME=value" entries for the service's environment (the fault shim's settings).
    std::vector<std::string> Environment;
};

class TServiceUnderTest {
  public:
    // Copies the executable, makes the directories and writes the configuration; does not start.
    // With Shared, a second instance of its own with the same configuration over Shared's In,
    // Status and Reply directories.
    explicit TServiceUnderTest(TServiceSettings Settings,
                               const TServiceUnderTest* Shared = nullptr);
    TServiceUnderTest(const TServiceUnderTest&) = delete;
    TServiceUnderTest& operator=(const TServiceUnderTest&) = delete;

    // Starts the service with /CONSOLE and waits for its start-up line; false when it does not
    // come or the process ended.
    bool Start();
    // Writes the configuration anew (the directories stay); the next Start reads it.
    void Configure(TServiceSettings Settings);
    // StopSignal(), then the exit status (-1 when it did not end in time).
    int Stop();
    // The signal that stops the service as an operator would: SIGTERM, or SIGINT for a service
    // run through BROVA_TEST_LAUNCHER.
    static int StopSignal();
    // The executable's path under Root().
    static std::string ExeName();
    ChildProcess& Process() { return *process_; }

    const TServiceSettings& Settings() const { return settings_; }
    const std::string& Root() const { return dir_.Path(); }
    // Where the In, Status and Reply directories are.
    const std::string& DataRoot() const { return dataRoot_; }
    std::string InDir(const std::string& Protocol) const;
    std::string StatusDir(const std::string& Protocol) const;
    std::string ReplyDir(const std::string& Protocol) const;
    std::string ProcessLog() const;
    std::string ConfigXml() const;

    // Writes every file into the protocol's poll directory first and then ages them all past
    // the claim delay, so the service sees them arrive at once.
    void Drop(const std::string& Protocol,
              const std::vector<std::pair<std::string, std::string>>& NamesAndContents);
    void Drop(const std::string& Protocol, const std::string& Name, const std::string& Content) {
        Drop(Protocol, {{Name, Content}});
    }

  private:
    TServiceSettings settings_;
    TempDir dir_;
    std::string dataRoot_;
    // Declared after the directory: the process is killed before its files are removed.
    std::unique_ptr<ChildProcess> process_;
};

// The messages of a log with their "yyyy/mm/dd hh:nn:ss : " stamps taken off; a line without
// the stamp is kept whole.
std::vector<std::string> LogMessages(const std::string& Text);

// Today's local date as "yyyy/mm/dd".
std::string TodayText();

// The environment that preloads the fault shim (tests/FaultShim.cpp) with these settings, e.g.
// {"BROVA_SHIM_KILL=fdatasync:3:.journal"}.
std::vector<std::string> WithFaultShim(std::vector<std::string> Settings);

}  // namespace testsupport
