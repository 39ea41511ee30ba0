#include "worker/uVexoClientUtils.h"

#include "clientsdk/ClientSDK.h"

std::string ClientSDKName = "VexoClientSDK";

std::shared_ptr<IClientObject> CreateClientObject(std::string_view ClassName) {
    // Several objects a message: the name is put together without a new string each time.
    thread_local std::string ProgID;
    ProgID.assign(ClientSDKName).append(".").append(ClassName);
    return CreateClientSDKObject(ProgID);
}
