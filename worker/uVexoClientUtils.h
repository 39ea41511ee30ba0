// Creation of client SDK objects by programmatic name.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "worker/VexoClientSDK_TLB.h"

// The SDK's name, the first half of every programmatic name. Read by every worker thread; tests
// may change it before any worker runs.
extern std::string ClientSDKName;

// A new object of the class ClientSDKName + "." + ClassName ("VexoClientSDK.Recipient").
// Throws EClientSDKError when no such class exists. The caller casts it to the class's interface
// with std::dynamic_pointer_cast and treats a failed cast as an error.
std::shared_ptr<IClientObject> CreateClientObject(std::string_view ClassName);
