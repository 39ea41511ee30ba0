#include "clientsdk/ClientSDK.h"

#include <atomic>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "clientsdk/BatchFormat.h"
#include "platform/Memory.h"

const char* const CLASS_Sender = "{1A22D7A8-012F-4F51-BB64-6CA95732D96F}";
const char* const CLASS_BatchRequest = "{3BC76956-BEF8-4DEE-9A89-782021D8CCE6}";
const char* const CLASS_MessageRequest = "{44B91F2F-DCCC-4621-A524-5EB1830213E5}";
const char* const CLASS_OverrideProtocol = "{2EE611D7-AF53-4182-AAB0-5091D8B86CAC}";
const char* const CLASS_Recipient = "{BA251E44-13B7-460F-B9DA-D4CA12639C8B}";
const char* const CLASS_BatchInfo = "{48202375-BA14-4189-8659-B6324C676A37}";

namespace {

constexpr const char* kProgIDPrefix = "VexoClientSDK.";

// The object a setter was given, as the SDK's own class Wanted; anything else is refused.
template <typename Wanted>
std::shared_ptr<Wanted> Expect(const std::shared_ptr<IClientObject>& Value, const char* Operation,
                               const char* WantedName) {
    if (!Value) {
        throw EClientSDKError(std::string(Operation) +
                              ": no object was given; it must be of class " + WantedName);
    }
    auto Object = std::dynamic_pointer_cast<Wanted>(Value);
    if (!Object) {
        throw EClientSDKError(std::string(Operation) + ": the object must be of class " +
                              WantedName + ", not " + Value->ClassName());
    }
    return Object;
}

class TSender : public ISender {
  public:
    std::string ClassName() const override { return "Sender"; }
    void Recycle() { Data = TBatchSender{}; }
    void SetName(std::string_view Value) override { Data.Name.assign(Value); }
    void SetEmail(std::string_view Value) override { Data.Email.assign(Value); }
    void SetCellNo(std::string_view Value) override { Data.CellNo.assign(Value); }
    void SetFaxNo(std::string_view Value) override { Data.FaxNo.assign(Value); }

    TBatchSender Data;
};

class TRecipient : public IRecipient {
  public:
    std::string ClassName() const override { return "Recipient"; }
    void Recycle() {
        Data.CellNo.clear();
        Data.Email.clear();
        Data.FaxNo.clear();
    }
    void SetEmail(std::string_view Value) override { Data.Email.assign(Value); }
    std::string GetCellNo() override { return Data.CellNo; }
    void SetCellNo(std::string_view Value) override { Data.CellNo.assign(Value); }
    void SetFaxNo(std::string_view Value) override { Data.FaxNo.assign(Value); }

    TBatchRecipient Data;
};

class TOverrideProtocol : public IOverrideProtocol {
  public:
    std::string ClassName() const override { return "OverrideProtocol"; }
    void Recycle() {
        Data.ProtocolName.clear();
        Data.MessageType.clear();
        Data.MessageText.clear();
        Data.Flag = false;
    }
    void SetProtocolName(std::string_view Value) override { Data.ProtocolName.assign(Value); }
    void SetMessageType(std::string_view Value) override { Data.MessageType.assign(Value); }
    void SetFlag(int32_t Value) override { Data.Flag = Value != 0; }
    void SetMessageText(std::string_view Value) override { Data.MessageText.assign(Value); }

    TBatchOverride Data;
};

class TMessageRequest : public IMessageRequest {
  public:
    std::string ClassName() const override { return "MessageRequest"; }
    void Recycle() {
        Data.BatchName.clear();
        Data.Reference.clear();
        Data.DateTime.clear();
        Data.Priority = 0;
        Data.Flag = false;
        Override.reset();
        Recipients.clear();
    }
    void SetBatchName(std::string_view Value) override { Data.BatchName.assign(Value); }
    void SetOverrideProtocol(const std::shared_ptr<IClientObject>& Value) override {
        Override = Expect<TOverrideProtocol>(Value, "SetOverrideProtocol", "OverrideProtocol");
    }
    void SetReference(std::string_view Value) override { Data.Reference.assign(Value); }
    void SetPriority(int32_t Value) override { Data.Priority = Value; }
    void SetDateTime(std::string_view Value) override { Data.DateTime.assign(Value); }
    void SetFlag(int32_t Value) override { Data.Flag = Value != 0; }
    void AddRecipient(const std::shared_ptr<IClientObject>& Value) override {
        Recipients.push_back(Expect<TRecipient>(Value, "AddRecipient", "Recipient"));
    }

    // The message as the batch document holds it, from the current state of the held objects.
    void AppendXml(std::string& Out) const {
        AppendBatchMessageHeadXml(Out, Data, Override ? Override->Data : Data.Override);
        for (const auto& R : Recipients) AppendBatchRecipientXml(Out, R->Data);
        AppendBatchMessageTailXml(Out);
    }

    TBatchMessage Data;  // its Override and Recipients stay empty; the objects below hold them
    std::shared_ptr<TOverrideProtocol> Override;
    std::vector<std::shared_ptr<TRecipient>> Recipients;
};

class TBatchRequest : public IBatchRequest {
  public:
    std::string ClassName() const override { return "BatchRequest"; }
    void Recycle() {
        BatchName.clear();
        Sender.reset();
        Messages.clear();
    }
    void SetBatchName(std::string_view Value) override { BatchName.assign(Value); }
    void SetSender(const std::shared_ptr<IClientObject>& Value) override {
        Sender = Expect<TSender>(Value, "SetSender", "Sender");
    }
    void AddMessageRequest(const std::shared_ptr<IClientObject>& Value) override {
        Messages.push_back(Expect<TMessageRequest>(Value, "AddMessageRequest", "MessageRequest"));
    }
    std::string GetXML() override {
        if (!Sender) throw EClientSDKError("GetXML: the batch request has no sender");
        std::string Out;
        Out.reserve(EstimatedSize());
        PreferHugePages(Out.data(), Out.capacity());
        AppendBatchHeadXml(Out, BatchName, Sender->Data);
        for (const auto& M : Messages) M->AppendXml(Out);
        AppendBatchTailXml(Out);
        return Out;
    }

  private:
    size_t EstimatedSize() const {
        constexpr size_t kMarkupPerMessage = 300, kMarkupPerRecipient = 60;
        size_t N = 512 + BatchName.size();
        for (const auto& M : Messages) {
            N += kMarkupPerMessage + M->Data.BatchName.size() + M->Data.Reference.size() +
                 M->Data.DateTime.size();
            if (M->Override) {
                N += M->Override->Data.ProtocolName.size() + M->Override->Data.MessageType.size() +
                     M->Override->Data.MessageText.size();
            }
            for (const auto& R : M->Recipients) {
                N += kMarkupPerRecipient + R->Data.CellNo.size() + R->Data.Email.size() +
                     R->Data.FaxNo.size();
            }
        }
        return N;
    }

    std::string BatchName;
    std::shared_ptr<TSender> Sender;
    std::vector<std::shared_ptr<TMessageRequest>> Messages;
};

class TBatchInfoItem : public IBatchInfoItem {
  public:
    explicit TBatchInfoItem(int64_t ReqID) : ReqID(ReqID) {}
    std::string ClassName() const override { return "BatchInfoItem"; }
    int64_t GetMessageID() override { return ReqID; }

  private:
    int64_t ReqID;
};

class TBatchInfoItems : public IBatchInfoItems {
  public:
    explicit TBatchInfoItems(std::vector<int64_t> ReqIDs) : ReqIDs(std::move(ReqIDs)) {}
    std::string ClassName() const override { return "BatchInfoItems"; }
    int32_t GetCount() override { return static_cast<int32_t>(ReqIDs.size()); }
    std::shared_ptr<IBatchInfoItem> GetItem(int32_t Index) override {
        if (Index < 0 || static_cast<size_t>(Index) >= ReqIDs.size()) {
            throw EClientSDKError("GetItem: index " + std::to_string(Index) +
                                  " is out of range; the reply lists " +
                                  std::to_string(ReqIDs.size()) + " items");
        }
        return std::make_shared<TBatchInfoItem>(ReqIDs[Index]);
    }

  private:
    std::vector<int64_t> ReqIDs;
};

class TBatchInfo : public IBatchInfo {
  public:
    std::string ClassName() const override { return "BatchInfo"; }
    void Recycle() {
        ReplySet = false;
        ReplyError.clear();
        Items.reset();
    }
    std::shared_ptr<IBatchInfoItems> GetItems() override {
        if (!ReplySet) throw EClientSDKError("GetItems: no reply text was set");
        if (!ReplyError.empty()) throw EClientSDKError("GetItems: " + ReplyError);
        return Items;
    }
    void SetReplyText(std::string_view Value) override {
        ReplySet = true;
        ReplyError.clear();
        Items.reset();
        try {
            std::vector<int64_t> ReqIDs = ReadBatchInfoIdentifiers(Value);
            if (ReqIDs.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
                throw std::runtime_error("the reply lists more items than a collection can hold");
            }
            Items = std::make_shared<TBatchInfoItems>(std::move(ReqIDs));
        } catch (const std::exception& E) {
            ReplyError = E.what();
        }
    }

  private:
    bool ReplySet = false;
    std::string ReplyError;
    std::shared_ptr<TBatchInfoItems> Items;
};

struct TClassEntry {
    const char* Name;
    const char* ClassID;
    std::shared_ptr<IClientObject> (*Create)();
};

// Released objects of a class wait on a free list of the thread that released them, their texts
// keeping their room: the next part of a worker builds its thousands of objects without asking
// the heap again. The lists are bounded; what does not fit is freed.
constexpr size_t kMaxRecycledPerClass = 4096;

// Set once the thread's lists begin to go at its end. The objects they free release the objects
// and blocks they hold, into lists that may be gone already: from then on everything is freed
// at once. Plain data, so that it outlives every list.
thread_local bool tListsEnding = false;

template <typename T>
struct TRecycled {
    std::vector<T*> Free;
    ~TRecycled() {
        tListsEnding = true;
        for (T* Object : Free) delete Object;
    }
};

template <typename T>
TRecycled<T>& RecycledOnThisThread() {
    thread_local TRecycled<T> Recycled;
    return Recycled;
}

template <typename T>
void Release(T* Object) {
    if (tListsEnding) {
        delete Object;
        return;
    }
    TRecycled<T>& Recycled = RecycledOnThisThread<T>();
    if (Recycled.Free.size() >= kMaxRecycledPerClass) {
        delete Object;
        return;
    }
    Object->Recycle();
    Recycled.Free.push_back(Object);
}

// The shared pointers' own blocks (the reference counts) are kept the same way, by size.
template <size_t Size>
std::vector<void*>& FreeBlocksOnThisThread() {
    thread_local struct TFree {
        std::vector<void*> Blocks;
        ~TFree() {
            tListsEnding = true;
            for (void* Block : Blocks) ::operator delete(Block);
        }
    } Free;
    return Free.Blocks;
}

template <typename T>
struct TRecycledBlocks {
    using value_type = T;
    TRecycledBlocks() = default;
    template <typename U>
    TRecycledBlocks(const TRecycledBlocks<U>&) {}
    T* allocate(size_t N) {
        std::vector<void*>& Free = FreeBlocksOnThisThread<sizeof(T)>();
        if (N != 1 || Free.empty()) return static_cast<T*>(::operator new(N * sizeof(T)));
        void* Block = Free.back();
        Free.pop_back();
        return static_cast<T*>(Block);
    }
    void deallocate(T* Block, size_t N) {
        if (tListsEnding) {
            ::operator delete(Block);
            return;
        }
        std::vector<void*>& Free = FreeBlocksOnThisThread<sizeof(T)>();
        if (N != 1 || Free.size() >= kMaxRecycledPerClass)
            ::operator delete(Block);
        else
            Free.push_back(Block);
    }
    template <typename U>
    bool operator==(const TRecycledBlocks<U>&) const {
        return true;
    }
};

template <typename T>
std::shared_ptr<IClientObject> Make() {
    TRecycled<T>& Recycled = RecycledOnThisThread<T>();
    T* Object;
    if (Recycled.Free.empty()) {
        Object = new T;
    } else {
        Object = Recycled.Free.back();
        Recycled.Free.pop_back();
    }
    return std::shared_ptr<T>(Object, &Release<T>, TRecycledBlocks<T>());
}

const TClassEntry kClasses[] = {
    {"Sender", CLASS_Sender, &Make<TSender>},
    {"BatchRequest", CLASS_BatchRequest, &Make<TBatchRequest>},
    {"MessageRequest", CLASS_MessageRequest, &Make<TMessageRequest>},
    {"OverrideProtocol", CLASS_OverrideProtocol, &Make<TOverrideProtocol>},
    {"Recipient", CLASS_Recipient, &Make<TRecipient>},
    {"BatchInfo", CLASS_BatchInfo, &Make<TBatchInfo>},
};

// Failures armed by FailNextClientSDKCreations. The flag keeps the lock off the normal path.
std::atomic<bool> FailureArmed{false};
std::mutex FailureMutex;
std::string FailureClass, FailureDescription;
int FailureCount = 0;

std::shared_ptr<IClientObject> Create(const TClassEntry& E) {
    if (FailureArmed.load(std::memory_order_acquire)) {
        std::lock_guard<std::mutex> Lock(FailureMutex);
        if (FailureCount > 0 && FailureClass == E.Name) {
            if (--FailureCount == 0) FailureArmed.store(false, std::memory_order_release);
            throw EClientSDKError(FailureDescription);
        }
    }
    return E.Create();
}

bool SameIgnoringCase(std::string_view A, std::string_view B) {
    if (A.size() != B.size()) return false;
    // Names come as they are written far more often than in another case.
    if (A == B) return true;
    for (size_t i = 0; i < A.size(); ++i) {
        char X = A[i], Y = B[i];
        if (X >= 'a' && X <= 'z') X = static_cast<char>(X - 'a' + 'A');
        if (Y >= 'a' && Y <= 'z') Y = static_cast<char>(Y - 'a' + 'A');
        if (X != Y) return false;
    }
    return true;
}

}  // namespace

std::shared_ptr<IClientObject> CreateClientSDKObject(const std::string& ProgID) {
    const std::string_view Prefix = kProgIDPrefix;
    if (ProgID.size() > Prefix.size() &&
        SameIgnoringCase(std::string_view(ProgID).substr(0, Prefix.size()), Prefix)) {
        const std::string_view Name = std::string_view(ProgID).substr(Prefix.size());
        for (const TClassEntry& E : kClasses) {
            if (SameIgnoringCase(Name, E.Name)) return Create(E);
        }
    }
    throw EClientSDKError("No client SDK class is registered under the name '" + ProgID + "'");
}

std::shared_ptr<IClientObject> CreateClientSDKObjectByClassID(const std::string& ClassID) {
    for (const TClassEntry& E : kClasses) {
        if (SameIgnoringCase(ClassID, E.ClassID)) return Create(E);
    }
    throw EClientSDKError("No client SDK class is registered with the class identifier '" +
                          ClassID + "'");
}

void FailNextClientSDKCreations(const std::string& ClassName, int Count,
                                const std::string& Description) {
    std::lock_guard<std::mutex> Lock(FailureMutex);
    FailureClass = ClassName;
    FailureCount = Count > 0 ? Count : 0;
    FailureDescription = Description;
    FailureArmed.store(FailureCount > 0, std::memory_order_release);
}
