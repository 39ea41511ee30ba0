// The client SDK's interfaces as the worker sees them, and the creators of the two classes the
// worker creates by class identifier. The classes themselves live in clientsdk/.
// Objects are held through std::shared_ptr and used on one thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

// Every failing SDK call throws this, carrying the component's description of the failure.
class EClientSDKError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Class identifiers of the six classes.
extern const char* const CLASS_Sender;
extern const char* const CLASS_BatchRequest;
extern const char* const CLASS_MessageRequest;
extern const char* const CLASS_OverrideProtocol;
extern const char* const CLASS_Recipient;
extern const char* const CLASS_BatchInfo;

// What every SDK object is; an object passed to a setter is checked against the class it must be.
class IClientObject {
  public:
    virtual ~IClientObject() = default;
    virtual std::string ClassName() const = 0;  // "Sender", "BatchRequest", ...
};

class ISender : public IClientObject {
  public:
    virtual void SetName(std::string_view Value) = 0;
    virtual void SetEmail(std::string_view Value) = 0;
    virtual void SetCellNo(std::string_view Value) = 0;
    virtual void SetFaxNo(std::string_view Value) = 0;
};

class IBatchRequest : public IClientObject {
  public:
    virtual void SetBatchName(std::string_view Value) = 0;
    // Value must be a Sender object.
    virtual void SetSender(const std::shared_ptr<IClientObject>& Value) = 0;
    // Value must be a MessageRequest object; it is held, not copied.
    virtual void AddMessageRequest(const std::shared_ptr<IClientObject>& Value) = 0;
    // The batch as XML text (clientsdk/BatchFormat.h), from the objects' state at this moment.
    virtual std::string GetXML() = 0;
};

class IMessageRequest : public IClientObject {
  public:
    virtual void SetBatchName(std::string_view Value) = 0;
    // Value must be an OverrideProtocol object; it is held, not copied.
    virtual void SetOverrideProtocol(const std::shared_ptr<IClientObject>& Value) = 0;
    virtual void SetReference(std::string_view Value) = 0;
    virtual void SetPriority(int32_t Value) = 0;
    virtual void SetDateTime(std::string_view Value) = 0;
    // Automation truth: any value other than 0 is true (the worker passes -1).
    virtual void SetFlag(int32_t Value) = 0;
    // Value must be a Recipient object; it is held, not copied.
    virtual void AddRecipient(const std::shared_ptr<IClientObject>& Value) = 0;
};

class IOverrideProtocol : public IClientObject {
  public:
    virtual void SetProtocolName(std::string_view Value) = 0;
    virtual void SetMessageType(std::string_view Value) = 0;
    virtual void SetFlag(int32_t Value) = 0;  // any value other than 0 is true
    virtual void SetMessageText(std::string_view Value) = 0;
};

class IRecipient : public IClientObject {
  public:
    virtual void SetEmail(std::string_view Value) = 0;
    virtual std::string GetCellNo() = 0;
    virtual void SetCellNo(std::string_view Value) = 0;
    virtual void SetFaxNo(std::string_view Value) = 0;
};

class IBatchInfoItem : public IClientObject {
  public:
    // The item's ReqID, the gateway's 64-bit identifier, whole.
    virtual int64_t GetMessageID() = 0;
};

class IBatchInfoItems : public IClientObject {
  public:
    virtual int32_t GetCount() = 0;
    virtual std::shared_ptr<IBatchInfoItem> GetItem(int32_t Index) = 0;  // from 0
};

class IBatchInfo : public IClientObject {
  public:
    // One item per message request of the batch, in submission order. Throws when no reply text
    // was set or the reply text set last is not a BatchInfo document.
    virtual std::shared_ptr<IBatchInfoItems> GetItems() = 0;
    // Reads the gateway's reply to Send. Never throws: a reply that cannot be read is reported
    // by GetItems, so a caller that ignores short replies can set them safely.
    virtual void SetReplyText(std::string_view Value) = 0;
};

// Creators by class identifier; each throws EClientSDKError when the object cannot be created.
class CoSender {
  public:
    static std::shared_ptr<ISender> Create();
};

class CoBatchInfo {
  public:
    static std::shared_ptr<IBatchInfo> Create();
};
