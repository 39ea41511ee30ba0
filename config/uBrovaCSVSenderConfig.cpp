#include "config/uBrovaCSVSenderConfig.h"

namespace {

const char kRootName[] = "BulkCSVSender";

}  // namespace

std::shared_ptr<IXMLBulkCSVSenderType> GetBulkCSVSender(const std::shared_ptr<TXMLDocument>& Doc) {
    return GetDocBinding<TXMLBulkCSVSenderType>(Doc, kRootName);
}

std::shared_ptr<IXMLBulkCSVSenderType> LoadBulkCSVSender(const std::string& FileName) {
    return GetBulkCSVSender(LoadXMLDocument(FileName));
}

std::shared_ptr<IXMLBulkCSVSenderType> LoadBulkCSVSenderFromText(const std::string& Text) {
    return GetBulkCSVSender(NewXMLDocument(Text));
}

// ---- TXMLBulkCSVSenderType ----

std::shared_ptr<IXMLOperationalTimeType> TXMLBulkCSVSenderType::GetOperationalTime() const {
    return GetChild<TXMLOperationalTimeType>("OperationalTime");
}
std::shared_ptr<IXMLVexoType> TXMLBulkCSVSenderType::GetVexo() const {
    return GetChild<TXMLVexoType>("Vexo");
}
std::shared_ptr<IXMLSettingsType> TXMLBulkCSVSenderType::GetSettings() const {
    return GetChild<TXMLSettingsType>("Settings");
}

// ---- TXMLOperationalTimeType ----

bool TXMLOperationalTimeType::GetEnabled() const { return GetBooleanAttr("Enabled"); }
std::string TXMLOperationalTimeType::GetStartTime() const { return GetStringAttr("StartTime"); }
std::string TXMLOperationalTimeType::GetEndTime() const { return GetStringAttr("EndTime"); }
void TXMLOperationalTimeType::SetEnabled(bool Value) { SetBooleanAttr("Enabled", Value); }
void TXMLOperationalTimeType::SetStartTime(const std::string& Value) {
    SetStringAttr("StartTime", Value);
}
void TXMLOperationalTimeType::SetEndTime(const std::string& Value) {
    SetStringAttr("EndTime", Value);
}

// ---- TXMLVexoType ----

std::string TXMLVexoType::GetURL() const { return GetStringAttr("URL"); }
std::string TXMLVexoType::GetUsername() const { return GetStringAttr("Username"); }
std::string TXMLVexoType::GetPassword() const { return GetStringAttr("Password"); }
std::string TXMLVexoType::GetCAFile() const { return GetStringAttr("CAFile"); }
std::shared_ptr<IXMLSenderType> TXMLVexoType::GetSender() const {
    return GetChild<TXMLSenderType>("Sender");
}
void TXMLVexoType::SetURL(const std::string& Value) { SetStringAttr("URL", Value); }
void TXMLVexoType::SetUsername(const std::string& Value) { SetStringAttr("Username", Value); }
void TXMLVexoType::SetPassword(const std::string& Value) { SetStringAttr("Password", Value); }

// ---- TXMLSenderType ----

std::string TXMLSenderType::GetName() const { return GetStringAttr("Name"); }
std::string TXMLSenderType::GetCellNo() const { return GetStringAttr("CellNo"); }
std::string TXMLSenderType::GetEmailAdress() const { return GetStringAttr("EmailAdress"); }
std::string TXMLSenderType::GetFaxNo() const { return GetStringAttr("FaxNo"); }
std::string TXMLSenderType::GetTelNo() const { return GetStringAttr("TelNo"); }
void TXMLSenderType::SetName(const std::string& Value) { SetStringAttr("Name", Value); }
void TXMLSenderType::SetCellNo(const std::string& Value) { SetStringAttr("CellNo", Value); }
void TXMLSenderType::SetEmailAdress(const std::string& Value) {
    SetStringAttr("EmailAdress", Value);
}
void TXMLSenderType::SetFaxNo(const std::string& Value) { SetStringAttr("FaxNo", Value); }
void TXMLSenderType::SetTelNo(const std::string& Value) { SetStringAttr("TelNo", Value); }

// ---- TXMLSettingsType ----

int TXMLSettingsType::GetPollInterval() const { return GetIntegerAttr("PollInterval"); }
int TXMLSettingsType::GetReplyInterval() const { return GetIntegerAttr("ReplyInterval"); }
int TXMLSettingsType::GetStatusInterval() const { return GetIntegerAttr("StatusInterval"); }
std::string TXMLSettingsType::GetValidSACellExtensions() const {
    return GetStringAttr("ValidSACellExtensions");
}
std::string TXMLSettingsType::GetFormat() const { return GetStringAttr("Format"); }
int TXMLSettingsType::GetPriority() const { return GetIntegerAttr("Priority"); }
std::shared_ptr<IXMLMailType> TXMLSettingsType::GetMail() const {
    return GetChild<TXMLMailType>("Mail");
}
std::shared_ptr<IXMLProtocolsType> TXMLSettingsType::GetProtocols() const {
    return GetChild<TXMLProtocolsType>("Protocols");
}
std::shared_ptr<IXMLSubmissionsType> TXMLSettingsType::GetSubmissions() const {
    return GetChild<TXMLSubmissionsType>("Submissions");
}
void TXMLSettingsType::SetPollInterval(int Value) { SetIntegerAttr("PollInterval", Value); }
void TXMLSettingsType::SetReplyInterval(int Value) { SetIntegerAttr("ReplyInterval", Value); }
void TXMLSettingsType::SetStatusInterval(int Value) { SetIntegerAttr("StatusInterval", Value); }
void TXMLSettingsType::SetValidSACellExtensions(const std::string& Value) {
    SetStringAttr("ValidSACellExtensions", Value);
}
void TXMLSettingsType::SetFormat(const std::string& Value) { SetStringAttr("Format", Value); }
void TXMLSettingsType::SetPriority(int Value) { SetIntegerAttr("Priority", Value); }

// ---- TXMLMailType ----

std::string TXMLMailType::GetHost() const { return GetStringAttr("Host"); }
std::string TXMLMailType::GetFromAddress() const { return GetStringAttr("FromAddress"); }
int TXMLMailType::GetPort() const { return GetIntegerAttr("Port"); }
std::string TXMLMailType::GetMailAgent() const { return GetStringAttr("MailAgent"); }
std::string TXMLMailType::GetSubject() const { return GetStringAttr("Subject"); }
std::string TXMLMailType::GetFromName() const { return GetStringAttr("FromName"); }
bool TXMLMailType::GetSendConfirmation() const { return GetBooleanAttr("SendConfirmation"); }
bool TXMLMailType::GetSendStatus() const { return GetBooleanAttr("SendStatus"); }
bool TXMLMailType::GetSendReply() const { return GetBooleanAttr("SendReply"); }
std::string TXMLMailType::GetSecurity() const { return GetStringAttr("Security"); }
std::string TXMLMailType::GetUsername() const { return GetStringAttr("Username"); }
std::string TXMLMailType::GetPassword() const { return GetStringAttr("Password"); }
std::string TXMLMailType::GetCAFile() const { return GetStringAttr("CAFile"); }
std::shared_ptr<IXMLBodyTextType> TXMLMailType::GetBodyText() const {
    return GetChild<TXMLBodyTextType>("BodyText");
}
std::shared_ptr<IXMLErrorTextType> TXMLMailType::GetErrorText() const {
    return GetChild<TXMLErrorTextType>("ErrorText");
}
void TXMLMailType::SetHost(const std::string& Value) { SetStringAttr("Host", Value); }
void TXMLMailType::SetFromAddress(const std::string& Value) { SetStringAttr("FromAddress", Value); }
void TXMLMailType::SetPort(int Value) { SetIntegerAttr("Port", Value); }
void TXMLMailType::SetMailAgent(const std::string& Value) { SetStringAttr("MailAgent", Value); }
void TXMLMailType::SetSubject(const std::string& Value) { SetStringAttr("Subject", Value); }
void TXMLMailType::SetFromName(const std::string& Value) { SetStringAttr("FromName", Value); }
void TXMLMailType::SetSendConfirmation(bool Value) { SetBooleanAttr("SendConfirmation", Value); }
void TXMLMailType::SetSendStatus(bool Value) { SetBooleanAttr("SendStatus", Value); }
void TXMLMailType::SetSendReply(bool Value) { SetBooleanAttr("SendReply", Value); }

// ---- TXMLBodyTextType ----

TXMLBodyTextType::TXMLBodyTextType(TXMLNodeRef Ref)
    : TXMLNodeCollection(std::move(Ref), "BodyTextItem") {}

std::shared_ptr<TXMLNode> TXMLBodyTextType::CreateItem(TXMLNodeRef Ref) const {
    return std::make_shared<TXMLBodyTextItemType>(std::move(Ref));
}

std::shared_ptr<IXMLBodyTextItemType> TXMLBodyTextType::GetItem(int Index) const {
    return std::make_shared<TXMLBodyTextItemType>(ItemRef(Index));
}

std::shared_ptr<IXMLBodyTextItemType> TXMLBodyTextType::Add() {
    return std::make_shared<TXMLBodyTextItemType>(AddItem());
}

std::shared_ptr<IXMLBodyTextItemType> TXMLBodyTextType::Insert(int Index) {
    return std::make_shared<TXMLBodyTextItemType>(InsertItem(Index));
}

// ---- TXMLBodyTextItemType ----

std::string TXMLBodyTextItemType::GetText() const { return GetStringAttr("Text"); }
void TXMLBodyTextItemType::SetText(const std::string& Value) { SetStringAttr("Text", Value); }

// ---- TXMLErrorTextType ----

TXMLErrorTextType::TXMLErrorTextType(TXMLNodeRef Ref)
    : TXMLNodeCollection(std::move(Ref), "BodyTextItem") {}

std::shared_ptr<TXMLNode> TXMLErrorTextType::CreateItem(TXMLNodeRef Ref) const {
    return std::make_shared<TXMLBodyTextItemType>(std::move(Ref));
}

std::shared_ptr<IXMLBodyTextItemType> TXMLErrorTextType::GetItem(int Index) const {
    return std::make_shared<TXMLBodyTextItemType>(ItemRef(Index));
}

std::shared_ptr<IXMLBodyTextItemType> TXMLErrorTextType::Add() {
    return std::make_shared<TXMLBodyTextItemType>(AddItem());
}

std::shared_ptr<IXMLBodyTextItemType> TXMLErrorTextType::Insert(int Index) {
    return std::make_shared<TXMLBodyTextItemType>(InsertItem(Index));
}

// ---- TXMLProtocolsType ----

TXMLProtocolsType::TXMLProtocolsType(TXMLNodeRef Ref)
    : TXMLNodeCollection(std::move(Ref), "Protocol") {}

std::shared_ptr<TXMLNode> TXMLProtocolsType::CreateItem(TXMLNodeRef Ref) const {
    return std::make_shared<TXMLProtocolType>(std::move(Ref));
}

std::shared_ptr<IXMLProtocolType> TXMLProtocolsType::GetItem(int Index) const {
    return std::make_shared<TXMLProtocolType>(ItemRef(Index));
}

std::shared_ptr<IXMLProtocolType> TXMLProtocolsType::Add() {
    return std::make_shared<TXMLProtocolType>(AddItem());
}

std::shared_ptr<IXMLProtocolType> TXMLProtocolsType::Insert(int Index) {
    return std::make_shared<TXMLProtocolType>(InsertItem(Index));
}

// ---- TXMLProtocolType ----

std::string TXMLProtocolType::GetName() const { return GetStringAttr("Name"); }
std::string TXMLProtocolType::GetPollDirectory() const { return GetStringAttr("PollDirectory"); }
std::string TXMLProtocolType::GetReplyDirectory() const { return GetStringAttr("ReplyDirectory"); }
std::string TXMLProtocolType::GetStatusDirectory() const {
    return GetStringAttr("StatusDirectory");
}
std::string TXMLProtocolType::GetPollFileType() const { return GetStringAttr("PollFileType"); }
bool TXMLProtocolType::GetEnabled() const { return GetBooleanAttr("Enabled"); }
void TXMLProtocolType::SetName(const std::string& Value) { SetStringAttr("Name", Value); }
void TXMLProtocolType::SetPollDirectory(const std::string& Value) {
    SetStringAttr("PollDirectory", Value);
}
void TXMLProtocolType::SetReplyDirectory(const std::string& Value) {
    SetStringAttr("ReplyDirectory", Value);
}
void TXMLProtocolType::SetStatusDirectory(const std::string& Value) {
    SetStringAttr("StatusDirectory", Value);
}
void TXMLProtocolType::SetPollFileType(const std::string& Value) {
    SetStringAttr("PollFileType", Value);
}
void TXMLProtocolType::SetEnabled(bool Value) { SetBooleanAttr("Enabled", Value); }

// ---- TXMLSubmissionsType ----

int TXMLSubmissionsType::GetSplit() const { return GetIntegerAttr("Split"); }
int TXMLSubmissionsType::GetMaxMessages() const { return GetIntegerAttr("MaxMessages"); }
int TXMLSubmissionsType::GetMaxFilesInFlight() const {
    return HasAttribute("MaxFilesInFlight") ? GetIntegerAttr("MaxFilesInFlight")
                                            : kDefaultMaxFilesInFlight;
}
void TXMLSubmissionsType::SetSplit(int Value) { SetIntegerAttr("Split", Value); }
void TXMLSubmissionsType::SetMaxMessages(int Value) { SetIntegerAttr("MaxMessages", Value); }
