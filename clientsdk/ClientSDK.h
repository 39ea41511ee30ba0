// The client SDK's class registry: creates its objects by programmatic name or class identifier.
// The interfaces the objects implement are declared in worker/VexoClientSDK_TLB.h.
#pragma once

#include <memory>
#include <string>

#include "worker/VexoClientSDK_TLB.h"

// A new object of the class registered as ProgID ("VexoClientSDK.Recipient"; letter case does not
// matter). Throws EClientSDKError when no class is registered under that name.
std::shared_ptr<IClientObject> CreateClientSDKObject(const std::string& ProgID);

// The same by class identifier (CLASS_Sender, ...); throws EClientSDKError for an unknown one.
std::shared_ptr<IClientObject> CreateClientSDKObjectByClassID(const std::string& ClassID);

// For tests of callers: the next Count creations of class ClassName ("Recipient"), by name or
// class identifier, throw EClientSDKError(Description), as a broken installation would. Count 0
// disarms. Any thread.
void FailNextClientSDKCreations(const std::string& ClassName, int Count,
                                const std::string& Description);
