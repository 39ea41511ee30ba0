// The configuration checked before anything is sent: every value the dispatcher and the
// workers will read, converted as they convert it, and the directories they use. A finding is
// one line, "<where> <what is wrong>: <what fails at run time>", in the order of the file.
// Reads the configuration and looks at directories only: contacts nothing, writes nothing.
// Any thread.
#pragma once

#include <string>
#include <vector>

#include "config/uBrovaCSVSenderConfig.h"

// StateDirectory: where the process log goes, with its trailing "/" (ServiceStateDirectory).
std::vector<std::string> CheckConfiguration(const IXMLBulkCSVSenderType& Config,
                                            const std::string& StateDirectory);

// The findings that keep the service from starting: an enabled poll directory that is, lies
// inside or contains a status or reply directory or the state directory.
std::vector<std::string> OwnOutputOverlaps(const IXMLBulkCSVSenderType& Config,
                                           const std::string& StateDirectory);
// The configuration beside the executable at ExePath, loaded as the service loads it: a file
// that is missing or cannot be loaded is the one finding, otherwise CheckConfiguration's.
std::vector<std::string> CheckConfigurationFile(const std::string& ExePath);
