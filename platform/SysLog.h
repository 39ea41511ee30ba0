// Error entries in the system log: syslog(3) at LOG_ERR, which the journal keeps. Any thread.
#pragma once

#include <string>

// Writes one error entry under the ident Source (the service name or the executable's file
// name, whichever the entry names as its source).
void WriteSystemLogError(const std::string& Source, const std::string& Message);

// With Echo set, every entry is also printed on stderr as "Source: Message", for a service
// run in the foreground and for a start outside the service manager.
void SetSystemLogEcho(bool Echo);
