// The configured gateway and mail relay tried for real, as the service will reach them: a
// Login to the gateway, and an SMTP session without a message. Sends no message, claims
// nothing, writes no log. Any thread.
#pragma once

#include <string>
#include <vector>

#include "config/uBrovaCSVSenderConfig.h"

struct TOnlineCheck {
    std::vector<std::string> Lines;  // what answered and what did not, one line each
    bool Worked = true;              // false when any of it failed
};

// The mail relay is tried only when SendConfirmation is true.
TOnlineCheck CheckOnline(const IXMLBulkCSVSenderType& Config);
