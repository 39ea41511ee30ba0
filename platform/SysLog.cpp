#include "platform/SysLog.h"

#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

namespace {

std::atomic<bool> gEcho{false};
// openlog() keeps a pointer to the ident until closelog(); one entry at a time.
std::mutex gSysLogMutex;

}  // namespace

void SetSystemLogEcho(bool Echo) { gEcho = Echo; }

void WriteSystemLogError(const std::string& Source, const std::string& Message) {
    {
        std::lock_guard<std::mutex> Lock(gSysLogMutex);
        openlog(Source.c_str(), LOG_PID | LOG_NDELAY, LOG_DAEMON);
        syslog(LOG_ERR, "%s", Message.c_str());
        closelog();
    }
    if (gEcho) {
        // One write, so that entries from several threads never interleave.
        const std::string Line = Source + ": " + Message + "\n";
        size_t Done = 0;
        while (Done < Line.size()) {
            const ssize_t N = write(STDERR_FILENO, Line.data() + Done, Line.size() - Done);
            if (N <= 0) break;
            Done += static_cast<size_t>(N);
        }
    }
}
