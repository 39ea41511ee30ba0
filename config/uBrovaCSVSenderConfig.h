// Typed view of the configuration file BrovaCSVSenderConfig.xml (root element BulkCSVSender).
// Values are converted when read: string getters return the attribute text as stored ("" when
// absent); integer and boolean getters throw EVariantTypeCastError when the attribute is absent,
// empty or not convertible. An absent element reads as an empty one.
// Safe to read from many threads at once; nobody may write while others read.
#pragma once

#include <memory>
#include <string>

#include "config/uXMLBinding.h"

class IXMLOperationalTimeType;
class IXMLVexoType;
class IXMLSenderType;
class IXMLSettingsType;
class IXMLMailType;
class IXMLBodyTextType;
class IXMLBodyTextItemType;
class IXMLErrorTextType;
class IXMLProtocolsType;
class IXMLProtocolType;
class IXMLSubmissionsType;

// ---- Interfaces ----

class IXMLBulkCSVSenderType : public virtual IXMLNode {
  public:
    virtual std::shared_ptr<IXMLOperationalTimeType> GetOperationalTime() const = 0;
    virtual std::shared_ptr<IXMLVexoType> GetVexo() const = 0;
    virtual std::shared_ptr<IXMLSettingsType> GetSettings() const = 0;
};

class IXMLOperationalTimeType : public virtual IXMLNode {
  public:
    virtual bool GetEnabled() const = 0;
    virtual std::string GetStartTime() const = 0;
    virtual std::string GetEndTime() const = 0;
    virtual void SetEnabled(bool Value) = 0;
    virtual void SetStartTime(const std::string& Value) = 0;
    virtual void SetEndTime(const std::string& Value) = 0;
};

class IXMLVexoType : public virtual IXMLNode {
  public:
    virtual std::string GetURL() const = 0;
    virtual std::string GetUsername() const = 0;
    virtual std::string GetPassword() const = 0;
    // Optional, "" when absent: a PEM bundle trusted for https instead of the system's store.
    virtual std::string GetCAFile() const = 0;
    virtual std::shared_ptr<IXMLSenderType> GetSender() const = 0;
    virtual void SetURL(const std::string& Value) = 0;
    virtual void SetUsername(const std::string& Value) = 0;
    virtual void SetPassword(const std::string& Value) = 0;
};

class IXMLSenderType : public virtual IXMLNode {
  public:
    virtual std::string GetName() const = 0;
    virtual std::string GetCellNo() const = 0;
    virtual std::string GetEmailAdress() const = 0;
    virtual std::string GetFaxNo() const = 0;
    virtual std::string GetTelNo() const = 0;
    virtual void SetName(const std::string& Value) = 0;
    virtual void SetCellNo(const std::string& Value) = 0;
    virtual void SetEmailAdress(const std::string& Value) = 0;
    virtual void SetFaxNo(const std::string& Value) = 0;
    virtual void SetTelNo(const std::string& Value) = 0;
};

class IXMLSettingsType : public virtual IXMLNode {
  public:
    virtual int GetPollInterval() const = 0;
    virtual int GetReplyInterval() const = 0;
    virtual int GetStatusInterval() const = 0;
    virtual std::string GetValidSACellExtensions() const = 0;
    virtual std::string GetFormat() const = 0;
    virtual int GetPriority() const = 0;
    virtual std::shared_ptr<IXMLMailType> GetMail() const = 0;
    virtual std::shared_ptr<IXMLProtocolsType> GetProtocols() const = 0;
    virtual std::shared_ptr<IXMLSubmissionsType> GetSubmissions() const = 0;
    virtual void SetPollInterval(int Value) = 0;
    virtual void SetReplyInterval(int Value) = 0;
    virtual void SetStatusInterval(int Value) = 0;
    virtual void SetValidSACellExtensions(const std::string& Value) = 0;
    virtual void SetFormat(const std::string& Value) = 0;
    virtual void SetPriority(int Value) = 0;
};

class IXMLMailType : public virtual IXMLNode {
  public:
    virtual std::string GetHost() const = 0;
    virtual std::string GetFromAddress() const = 0;
    virtual int GetPort() const = 0;
    virtual std::string GetMailAgent() const = 0;
    virtual std::string GetSubject() const = 0;
    virtual std::string GetFromName() const = 0;
    virtual bool GetSendConfirmation() const = 0;
    virtual bool GetSendStatus() const = 0;
    virtual bool GetSendReply() const = 0;
    // Optional, "" when absent: none, starttls or tls; the AUTH account; a PEM bundle to trust.
    virtual std::string GetSecurity() const = 0;
    virtual std::string GetUsername() const = 0;
    virtual std::string GetPassword() const = 0;
    virtual std::string GetCAFile() const = 0;
    virtual std::shared_ptr<IXMLBodyTextType> GetBodyText() const = 0;
    virtual std::shared_ptr<IXMLErrorTextType> GetErrorText() const = 0;
    virtual void SetHost(const std::string& Value) = 0;
    virtual void SetFromAddress(const std::string& Value) = 0;
    virtual void SetPort(int Value) = 0;
    virtual void SetMailAgent(const std::string& Value) = 0;
    virtual void SetSubject(const std::string& Value) = 0;
    virtual void SetFromName(const std::string& Value) = 0;
    virtual void SetSendConfirmation(bool Value) = 0;
    virtual void SetSendStatus(bool Value) = 0;
    virtual void SetSendReply(bool Value) = 0;
};

class IXMLBodyTextType : public virtual IXMLNodeCollection {
  public:
    virtual std::shared_ptr<IXMLBodyTextItemType> GetItem(int Index) const = 0;
    virtual std::shared_ptr<IXMLBodyTextItemType> Add() = 0;
    virtual std::shared_ptr<IXMLBodyTextItemType> Insert(int Index) = 0;
};

class IXMLBodyTextItemType : public virtual IXMLNode {
  public:
    virtual std::string GetText() const = 0;
    virtual void SetText(const std::string& Value) = 0;
};

class IXMLErrorTextType : public virtual IXMLNodeCollection {
  public:
    virtual std::shared_ptr<IXMLBodyTextItemType> GetItem(int Index) const = 0;
    virtual std::shared_ptr<IXMLBodyTextItemType> Add() = 0;
    virtual std::shared_ptr<IXMLBodyTextItemType> Insert(int Index) = 0;
};

class IXMLProtocolsType : public virtual IXMLNodeCollection {
  public:
    virtual std::shared_ptr<IXMLProtocolType> GetItem(int Index) const = 0;
    virtual std::shared_ptr<IXMLProtocolType> Add() = 0;
    virtual std::shared_ptr<IXMLProtocolType> Insert(int Index) = 0;
};

class IXMLProtocolType : public virtual IXMLNode {
  public:
    virtual std::string GetName() const = 0;
    virtual std::string GetPollDirectory() const = 0;
    virtual std::string GetReplyDirectory() const = 0;
    virtual std::string GetStatusDirectory() const = 0;
    virtual std::string GetPollFileType() const = 0;
    virtual bool GetEnabled() const = 0;
    virtual void SetName(const std::string& Value) = 0;
    virtual void SetPollDirectory(const std::string& Value) = 0;
    virtual void SetReplyDirectory(const std::string& Value) = 0;
    virtual void SetStatusDirectory(const std::string& Value) = 0;
    virtual void SetPollFileType(const std::string& Value) = 0;
    virtual void SetEnabled(bool Value) = 0;
};

constexpr int kDefaultMaxFilesInFlight = 64;

class IXMLSubmissionsType : public virtual IXMLNode {
  public:
    virtual int GetSplit() const = 0;
    virtual int GetMaxMessages() const = 0;
    // How many files may be in flight at once; kDefaultMaxFilesInFlight when absent.
    virtual int GetMaxFilesInFlight() const = 0;
    virtual void SetSplit(int Value) = 0;
    virtual void SetMaxMessages(int Value) = 0;
};

// Parses the file and returns its root binding. Throws EXMLError when the file cannot be read,
// EXMLParseError with the parser's message when it is not well-formed XML, and
// EXMLInterfaceError "Interface not supported" when the root is not BulkCSVSender.
std::shared_ptr<IXMLBulkCSVSenderType> LoadBulkCSVSender(const std::string& FileName);
// The same for a text held in memory.
std::shared_ptr<IXMLBulkCSVSenderType> LoadBulkCSVSenderFromText(const std::string& Text);
// The root binding of a document created with NewXMLDocument or LoadXMLDocument.
std::shared_ptr<IXMLBulkCSVSenderType> GetBulkCSVSender(const std::shared_ptr<TXMLDocument>& Doc);

// ---- Binding classes ----

class TXMLBulkCSVSenderType : public TXMLNode, public virtual IXMLBulkCSVSenderType {
  public:
    using TXMLNode::TXMLNode;
    std::shared_ptr<IXMLOperationalTimeType> GetOperationalTime() const override;
    std::shared_ptr<IXMLVexoType> GetVexo() const override;
    std::shared_ptr<IXMLSettingsType> GetSettings() const override;
};

class TXMLOperationalTimeType : public TXMLNode, public virtual IXMLOperationalTimeType {
  public:
    using TXMLNode::TXMLNode;
    bool GetEnabled() const override;
    std::string GetStartTime() const override;
    std::string GetEndTime() const override;
    void SetEnabled(bool Value) override;
    void SetStartTime(const std::string& Value) override;
    void SetEndTime(const std::string& Value) override;
};

class TXMLVexoType : public TXMLNode, public virtual IXMLVexoType {
  public:
    using TXMLNode::TXMLNode;
    std::string GetURL() const override;
    std::string GetUsername() const override;
    std::string GetPassword() const override;
    std::string GetCAFile() const override;
    std::shared_ptr<IXMLSenderType> GetSender() const override;
    void SetURL(const std::string& Value) override;
    void SetUsername(const std::string& Value) override;
    void SetPassword(const std::string& Value) override;
};

class TXMLSenderType : public TXMLNode, public virtual IXMLSenderType {
  public:
    using TXMLNode::TXMLNode;
    std::string GetName() const override;
    std::string GetCellNo() const override;
    std::string GetEmailAdress() const override;
    std::string GetFaxNo() const override;
    std::string GetTelNo() const override;
    void SetName(const std::string& Value) override;
    void SetCellNo(const std::string& Value) override;
    void SetEmailAdress(const std::string& Value) override;
    void SetFaxNo(const std::string& Value) override;
    void SetTelNo(const std::string& Value) override;
};

class TXMLSettingsType : public TXMLNode, public virtual IXMLSettingsType {
  public:
    using TXMLNode::TXMLNode;
    int GetPollInterval() const override;
    int GetReplyInterval() const override;
    int GetStatusInterval() const override;
    std::string GetValidSACellExtensions() const override;
    std::string GetFormat() const override;
    int GetPriority() const override;
    std::shared_ptr<IXMLMailType> GetMail() const override;
    std::shared_ptr<IXMLProtocolsType> GetProtocols() const override;
    std::shared_ptr<IXMLSubmissionsType> GetSubmissions() const override;
    void SetPollInterval(int Value) override;
    void SetReplyInterval(int Value) override;
    void SetStatusInterval(int Value) override;
    void SetValidSACellExtensions(const std::string& Value) override;
    void SetFormat(const std::string& Value) override;
    void SetPriority(int Value) override;
};

class TXMLMailType : public TXMLNode, public virtual IXMLMailType {
  public:
    using TXMLNode::TXMLNode;
    std::string GetHost() const override;
    std::string GetFromAddress() const override;
    int GetPort() const override;
    std::string GetMailAgent() const override;
    std::string GetSubject() const override;
    std::string GetFromName() const override;
    bool GetSendConfirmation() const override;
    bool GetSendStatus() const override;
    bool GetSendReply() const override;
    std::string GetSecurity() const override;
    std::string GetUsername() const override;
    std::string GetPassword() const override;
    std::string GetCAFile() const override;
    std::shared_ptr<IXMLBodyTextType> GetBodyText() const override;
    std::shared_ptr<IXMLErrorTextType> GetErrorText() const override;
    void SetHost(const std::string& Value) override;
    void SetFromAddress(const std::string& Value) override;
    void SetPort(int Value) override;
    void SetMailAgent(const std::string& Value) override;
    void SetSubject(const std::string& Value) override;
    void SetFromName(const std::string& Value) override;
    void SetSendConfirmation(bool Value) override;
    void SetSendStatus(bool Value) override;
    void SetSendReply(bool Value) override;
};

class TXMLBodyTextType : public TXMLNodeCollection, public virtual IXMLBodyTextType {
  public:
    explicit TXMLBodyTextType(TXMLNodeRef Ref);
    std::shared_ptr<IXMLBodyTextItemType> GetItem(int Index) const override;
    std::shared_ptr<IXMLBodyTextItemType> Add() override;
    std::shared_ptr<IXMLBodyTextItemType> Insert(int Index) override;

  protected:
    std::shared_ptr<TXMLNode> CreateItem(TXMLNodeRef Ref) const override;
};

class TXMLBodyTextItemType : public TXMLNode, public virtual IXMLBodyTextItemType {
  public:
    using TXMLNode::TXMLNode;
    std::string GetText() const override;
    void SetText(const std::string& Value) override;
};

class TXMLErrorTextType : public TXMLNodeCollection, public virtual IXMLErrorTextType {
  public:
    explicit TXMLErrorTextType(TXMLNodeRef Ref);
    std::shared_ptr<IXMLBodyTextItemType> GetItem(int Index) const override;
    std::shared_ptr<IXMLBodyTextItemType> Add() override;
    std::shared_ptr<IXMLBodyTextItemType> Insert(int Index) override;

  protected:
    std::shared_ptr<TXMLNode> CreateItem(TXMLNodeRef Ref) const override;
};

class TXMLProtocolsType : public TXMLNodeCollection, public virtual IXMLProtocolsType {
  public:
    explicit TXMLProtocolsType(TXMLNodeRef Ref);
    std::shared_ptr<IXMLProtocolType> GetItem(int Index) const override;
    std::shared_ptr<IXMLProtocolType> Add() override;
    std::shared_ptr<IXMLProtocolType> Insert(int Index) override;

  protected:
    std::shared_ptr<TXMLNode> CreateItem(TXMLNodeRef Ref) const override;
};

class TXMLProtocolType : public TXMLNode, public virtual IXMLProtocolType {
  public:
    using TXMLNode::TXMLNode;
    std::string GetName() const override;
    std::string GetPollDirectory() const override;
    std::string GetReplyDirectory() const override;
    std::string GetStatusDirectory() const override;
    std::string GetPollFileType() const override;
    bool GetEnabled() const override;
    void SetName(const std::string& Value) override;
    void SetPollDirectory(const std::string& Value) override;
    void SetReplyDirectory(const std::string& Value) override;
    void SetStatusDirectory(const std::string& Value) override;
    void SetPollFileType(const std::string& Value) override;
    void SetEnabled(bool Value) override;
};

class TXMLSubmissionsType : public TXMLNode, public virtual IXMLSubmissionsType {
  public:
    using TXMLNode::TXMLNode;
    int GetSplit() const override;
    int GetMaxMessages() const override;
    int GetMaxFilesInFlight() const override;
    void SetSplit(int Value) override;
    void SetMaxMessages(int Value) override;
};
