// Child processes of the Linux tests: the service, the simulator and the mail sink.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "tests/TestSupport.h"

namespace testsupport {

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const Options& opts) {
    std::string out = out_ / "stdout", err = out_ / "stderr";
    pid_t parent = getpid();
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int n = open("/dev/null", O_RDONLY);
        dup2(o, 1);
        dup2(e, 2);
        dup2(n, 0);
        for (auto& name : opts.unset_env) unsetenv(name.c_str());
        for (auto& kv : opts.env) putenv(strdup(kv.c_str()));
        if (!opts.cwd.empty() && chdir(opts.cwd.c_str()) != 0) _exit(127);
        std::vector<char*> args;
        for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
}

ChildProcess::~ChildProcess() {
    if (!exited_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status_, 0);
    }
}

void ChildProcess::Signal(int sig) {
    if (!exited_) kill(pid_, sig);
}

int ChildProcess::Wait(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!exited_) {
        int st = 0;
        pid_t r = waitpid(pid_, &st, WNOHANG);
        if (r == pid_) {
            exited_ = true;
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return status_;
}

bool ChildProcess::Running() { return Wait(std::chrono::milliseconds(0)) == -1; }

std::string ChildProcess::Stdout() const { return ReadFile(out_ / "stdout"); }
std::string ChildProcess::Stderr() const { return ReadFile(out_ / "stderr"); }

std::string ChildProcess::WaitForStdoutLine(const std::string& prefix,
                                            std::chrono::milliseconds timeout) {
    std::string found;
    WaitFor(
        [&] {
            for (auto& line : Lines(Stdout()))
                if (line.rfind(prefix, 0) == 0) {
                    found = line;
                    return true;
                }
            return false;
        },
        timeout);
    return found;
}

}  // namespace testsupport
