// Typed view of the gateway's outstanding-status document: root VexoMessageStatusList with
// MsgStat items, each with an optional MsgIdent child. All attributes are read as strings.
// Built on the configuration's binding layer and follows its rules; see config/uXMLBinding.h.
#pragma once

#include <memory>
#include <string>

#include "config/uXMLBinding.h"

class IXMLMsgStatType;

// The reply document has a MsgIdent of its own with fewer attributes; each is qualified by the
// name of its unit: uVexoOSStatus::IXMLMsgIdentType here, uVexoOSReplies::IXMLMsgIdentType there.
namespace uVexoOSStatus {

class IXMLMsgIdentType : public virtual IXMLNode {
  public:
    virtual std::string GetMsgID() const = 0;
    virtual std::string GetReqID() const = 0;
    virtual std::string GetRef() const = 0;
    virtual std::string GetProt() const = 0;
    virtual std::string GetRcpt() const = 0;
    virtual std::string GetClientApp() const = 0;
    virtual void SetMsgID(const std::string& Value) = 0;
    virtual void SetReqID(const std::string& Value) = 0;
    virtual void SetRef(const std::string& Value) = 0;
    virtual void SetProt(const std::string& Value) = 0;
    virtual void SetRcpt(const std::string& Value) = 0;
    virtual void SetClientApp(const std::string& Value) = 0;
};

class TXMLMsgIdentType : public TXMLNode, public virtual IXMLMsgIdentType {
  public:
    using TXMLNode::TXMLNode;
    std::string GetMsgID() const override;
    std::string GetReqID() const override;
    std::string GetRef() const override;
    std::string GetProt() const override;
    std::string GetRcpt() const override;
    std::string GetClientApp() const override;
    void SetMsgID(const std::string& Value) override;
    void SetReqID(const std::string& Value) override;
    void SetRef(const std::string& Value) override;
    void SetProt(const std::string& Value) override;
    void SetRcpt(const std::string& Value) override;
    void SetClientApp(const std::string& Value) override;
};

}  // namespace uVexoOSStatus

class IXMLVexoMessageStatusListType : public virtual IXMLNodeCollection {
  public:
    virtual std::shared_ptr<IXMLMsgStatType> GetItem(int Index) const = 0;
    virtual std::shared_ptr<IXMLMsgStatType> Add() = 0;
    virtual std::shared_ptr<IXMLMsgStatType> Insert(int Index) = 0;
};

class IXMLMsgStatType : public virtual IXMLNode {
  public:
    virtual std::string GetStatTime() const = 0;
    virtual std::string GetStatText() const = 0;
    virtual std::string GetStatus() const = 0;
    // An absent MsgIdent reads as one whose attributes are all empty.
    virtual std::shared_ptr<uVexoOSStatus::IXMLMsgIdentType> GetMsgIdent() const = 0;
    virtual void SetStatTime(const std::string& Value) = 0;
    virtual void SetStatText(const std::string& Value) = 0;
    virtual void SetStatus(const std::string& Value) = 0;
};

// Binds the document's root (parsing it here if it was not yet parsed). An empty text gives a
// list without items. Throws EXMLParseError with the parser's message for malformed XML and
// EXMLInterfaceError "Interface not supported" for another root element.
std::shared_ptr<IXMLVexoMessageStatusListType> GetVexoMessageStatusList(
    const std::shared_ptr<TXMLDocument>& Doc);

class TXMLVexoMessageStatusListType : public TXMLNodeCollection,
                                      public virtual IXMLVexoMessageStatusListType {
  public:
    explicit TXMLVexoMessageStatusListType(TXMLNodeRef Ref);
    std::shared_ptr<IXMLMsgStatType> GetItem(int Index) const override;
    std::shared_ptr<IXMLMsgStatType> Add() override;
    std::shared_ptr<IXMLMsgStatType> Insert(int Index) override;

  protected:
    std::shared_ptr<TXMLNode> CreateItem(TXMLNodeRef Ref) const override;
};

class TXMLMsgStatType : public TXMLNode, public virtual IXMLMsgStatType {
  public:
    using TXMLNode::TXMLNode;
    std::string GetStatTime() const override;
    std::string GetStatText() const override;
    std::string GetStatus() const override;
    std::shared_ptr<uVexoOSStatus::IXMLMsgIdentType> GetMsgIdent() const override;
    void SetStatTime(const std::string& Value) override;
    void SetStatText(const std::string& Value) override;
    void SetStatus(const std::string& Value) override;
};
