// Typed view of the gateway's outstanding-reply document: root VexoReplyList with ReplyDet
// items, each with an optional MsgIdent child. Seq is an integer; every other attribute is a
// string. Built on the configuration's binding layer; see config/uXMLBinding.h.
#pragma once

#include <memory>
#include <string>

#include "config/uXMLBinding.h"

class IXMLReplyDetType;

// Qualified by the unit's name, as the status document has a MsgIdent of its own.
namespace uVexoOSReplies {

class IXMLMsgIdentType : public virtual IXMLNode {
  public:
    virtual std::string GetMsgID() const = 0;
    virtual std::string GetReqID() const = 0;
    virtual std::string GetRef() const = 0;
    virtual std::string GetClientApp() const = 0;
    virtual void SetMsgID(const std::string& Value) = 0;
    virtual void SetReqID(const std::string& Value) = 0;
    virtual void SetRef(const std::string& Value) = 0;
    virtual void SetClientApp(const std::string& Value) = 0;
};

class TXMLMsgIdentType : public TXMLNode, public virtual IXMLMsgIdentType {
  public:
    using TXMLNode::TXMLNode;
    std::string GetMsgID() const override;
    std::string GetReqID() const override;
    std::string GetRef() const override;
    std::string GetClientApp() const override;
    void SetMsgID(const std::string& Value) override;
    void SetReqID(const std::string& Value) override;
    void SetRef(const std::string& Value) override;
    void SetClientApp(const std::string& Value) override;
};

}  // namespace uVexoOSReplies

class IXMLVexoReplyListType : public virtual IXMLNodeCollection {
  public:
    virtual std::shared_ptr<IXMLReplyDetType> GetItem(int Index) const = 0;
    virtual std::shared_ptr<IXMLReplyDetType> Add() = 0;
    virtual std::shared_ptr<IXMLReplyDetType> Insert(int Index) = 0;
};

class IXMLReplyDetType : public virtual IXMLNode {
  public:
    virtual std::string GetProt() const = 0;
    virtual std::string GetReplyMsg() const = 0;
    // Throws EVariantTypeCastError when absent or not an integer.
    virtual int GetSeq() const = 0;
    virtual std::string GetRecTime() const = 0;
    virtual std::string GetOriginator() const = 0;
    // An absent MsgIdent reads as one whose attributes are all empty.
    virtual std::shared_ptr<uVexoOSReplies::IXMLMsgIdentType> GetMsgIdent() const = 0;
    virtual void SetProt(const std::string& Value) = 0;
    virtual void SetReplyMsg(const std::string& Value) = 0;
    virtual void SetSeq(int Value) = 0;
    virtual void SetRecTime(const std::string& Value) = 0;
    virtual void SetOriginator(const std::string& Value) = 0;
};

// Binds the document's root (parsing it here if it was not yet parsed). An empty text gives a
// list without items. Throws EXMLParseError with the parser's message for malformed XML and
// EXMLInterfaceError "Interface not supported" for another root element.
std::shared_ptr<IXMLVexoReplyListType> GetVexoReplyList(const std::shared_ptr<TXMLDocument>& Doc);

class TXMLVexoReplyListType : public TXMLNodeCollection, public virtual IXMLVexoReplyListType {
  public:
    explicit TXMLVexoReplyListType(TXMLNodeRef Ref);
    std::shared_ptr<IXMLReplyDetType> GetItem(int Index) const override;
    std::shared_ptr<IXMLReplyDetType> Add() override;
    std::shared_ptr<IXMLReplyDetType> Insert(int Index) override;

  protected:
    std::shared_ptr<TXMLNode> CreateItem(TXMLNodeRef Ref) const override;
};

class TXMLReplyDetType : public TXMLNode, public virtual IXMLReplyDetType {
  public:
    using TXMLNode::TXMLNode;
    std::string GetProt() const override;
    std::string GetReplyMsg() const override;
    int GetSeq() const override;
    std::string GetRecTime() const override;
    std::string GetOriginator() const override;
    std::shared_ptr<uVexoOSReplies::IXMLMsgIdentType> GetMsgIdent() const override;
    void SetProt(const std::string& Value) override;
    void SetReplyMsg(const std::string& Value) override;
    void SetSeq(int Value) override;
    void SetRecTime(const std::string& Value) override;
    void SetOriginator(const std::string& Value) override;
};
