#include "worker/VexoClientSDK_TLB.h"

#include "clientsdk/ClientSDK.h"

namespace {

template <typename Interface>
std::shared_ptr<Interface> CreateAs(const char* ClassID, const char* InterfaceName) {
    std::shared_ptr<IClientObject> Object = CreateClientSDKObjectByClassID(ClassID);
    auto Result = std::dynamic_pointer_cast<Interface>(Object);
    if (!Result) {
        throw EClientSDKError("The " + Object->ClassName() + " object does not support " +
                              InterfaceName);
    }
    return Result;
}

}  // namespace

std::shared_ptr<ISender> CoSender::Create() { return CreateAs<ISender>(CLASS_Sender, "ISender"); }

std::shared_ptr<IBatchInfo> CoBatchInfo::Create() {
    return CreateAs<IBatchInfo>(CLASS_BatchInfo, "IBatchInfo");
}
