// The names this service writes into the directories it uses: never taken as input, whatever
// the poll mask says, and never made from a name the gateway reports. Any thread.
#pragma once

#include <string>

// True for Confirmation-*, Unwritten-*, *.lock, *.journal, *.log, *.Busy (letter case aside)
// and hidden names (the temporaries of atomic writes).
bool IsServiceFileName(const std::string& Name);
