#include "tests/TestSupport.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;

namespace testsupport {

std::string BuildDir() { return BROVA_BUILD_DIR; }
std::string SourceDir() { return BROVA_SOURCE_DIR; }

TempDir::TempDir() {
    const char* base = getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/brova-test-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
    path_ = buf.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "";
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot write " + path);
    out << content;
}

bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

void MakeDirs(const std::string& path) { fs::create_directories(path); }

std::vector<std::string> ListDir(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (auto& e : fs::directory_iterator(dir, ec)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

void AgeFile(const std::string& path, int seconds) {
    struct timespec times[2];
    clock_gettime(CLOCK_REALTIME, &times[0]);
    times[0].tv_sec -= seconds;
    times[1] = times[0];
    utimensat(AT_FDCWD, path.c_str(), times, 0);
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        size_t end = nl == std::string::npos ? text.size() : nl;
        size_t stop = end;
        if (stop > start && text[stop - 1] == '\r') --stop;
        out.push_back(text.substr(start, stop - start));
        if (nl == std::string::npos) break;
        start = nl + 1;
    }
    return out;
}

bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout,
             std::chrono::milliseconds step) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) return pred();
        std::this_thread::sleep_for(step);
    }
    return true;
}

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
