#include "worker/uVexoClientUtils.h"

#include "clientsdk/ClientSDK.h"

std::string ClientSDKName = "VexoClientSDK";

std::shared_ptr<IClientObject> CreateClientObject(const std::string& ClassName) {
    return CreateClientSDKObject(ClientSDKName + "." + ClassName);
}
