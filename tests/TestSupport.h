// Helpers shared by the tests: fresh temporary directories, whole-file reads and writes,
// and child processes (the service executable, the gateway simulator, the mail sink).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace testsupport {

// Where the build put the executables (build/BrovaCSVSender, build/vexo-gateway-sim).
std::string BuildDir();
std::string SourceDir();

// A fresh directory under $TMPDIR, removed with everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return path_; }
    // Path() + "/" + name
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string ReadFile(const std::string& path);  // "" when missing
void WriteFile(const std::string& path, const std::string& content);
bool Exists(const std::string& path);
void MakeDirs(const std::string& path);
std::vector<std::string> ListDir(const std::string& dir);  // sorted names, no "." or ".."
// Sets a file's modification time this many seconds into the past.
void AgeFile(const std::string& path, int seconds);
// Splits on "\r\n" (or "\n"); a trailing line end gives no empty last line.
std::vector<std::string> Lines(const std::string& text);

// Polls until pred() is true or the time-out passes; returns pred()'s last value.
bool WaitFor(const std::function<bool()>& pred,
             std::chrono::milliseconds timeout = std::chrono::seconds(20),
             std::chrono::milliseconds step = std::chrono::milliseconds(20));

// A child process with stdout and stderr captured to files. It gets SIGKILL when this
// object goes, and PR_SET_PDEATHSIG makes it die with the test process too.
class ChildProcess {
public:
    struct Options {
        std::vector<std::string> env;  // extra "NAME=value" entries
        std::vector<std::string> unset_env;
        std::string cwd;
    };
    ChildProcess(const std::vector<std::string>& argv, const Options& opts);
    explicit ChildProcess(const std::vector<std::string>& argv) : ChildProcess(argv, Options{}) {}
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t Pid() const { return pid_; }
    void Signal(int sig);
    // Waits for the exit; returns the exit status, 128+signal for a signal, or -1 on time-out.
    int Wait(std::chrono::milliseconds timeout = std::chrono::seconds(30));
    bool Running();
    std::string Stdout() const;
    std::string Stderr() const;
    // Waits until stdout holds a line starting with prefix; returns that line or "".
    std::string WaitForStdoutLine(const std::string& prefix,
                                  std::chrono::milliseconds timeout = std::chrono::seconds(20));

private:
    pid_t pid_ = -1;
    int status_ = -1;
    bool exited_ = false;
    TempDir out_;
};

}  // namespace testsupport
