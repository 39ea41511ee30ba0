// Error entries in the Windows event log, under a source that /INSTALL registered with the
// executable as its message file (platform/windows/BrovaCSVSenderMessages.mc). Any thread.
#include <windows.h>

#include <atomic>
#include <string>

#include "BrovaCSVSenderMessages.h"
#include "platform/SysLog.h"
#include "platform/WideText_win.h"

namespace {

std::atomic<bool> gEcho{false};

}  // namespace

void SetSystemLogEcho(bool Echo) { gEcho = Echo; }

void WriteSystemLogError(const std::string& Source, const std::string& Message) {
    const HANDLE Log = RegisterEventSourceW(nullptr, WideOf(Source).c_str());
    if (Log) {
        const std::wstring Text = WideOf(Message, true);
        const wchar_t* Inserts[] = {Text.c_str()};
        ReportEventW(Log, EVENTLOG_ERROR_TYPE, 0, MSG_ERROR_TEXT, nullptr, 1, 0, Inserts, nullptr);
        DeregisterEventSource(Log);
    }
    if (gEcho) {
        // One write of the bytes as they are: no line-end translation, and entries from
        // several threads never interleave.
        const std::string Line = Source + ": " + Message + "\n";
        const HANDLE Err = GetStdHandle(STD_ERROR_HANDLE);
        size_t Done = 0;
        while (Err && Err != INVALID_HANDLE_VALUE && Done < Line.size()) {
            DWORD N = 0;
            if (!WriteFile(Err, Line.data() + Done, static_cast<DWORD>(Line.size() - Done), &N,
                           nullptr) ||
                N == 0)
                break;
            Done += N;
        }
    }
}
