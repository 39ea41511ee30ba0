#include "gateway/uVexoOSStatus.h"

std::shared_ptr<IXMLVexoMessageStatusListType> GetVexoMessageStatusList(
    const std::shared_ptr<TXMLDocument>& Doc) {
    return GetDocBinding<TXMLVexoMessageStatusListType>(Doc, "VexoMessageStatusList");
}

// ---- TXMLVexoMessageStatusListType ----

TXMLVexoMessageStatusListType::TXMLVexoMessageStatusListType(TXMLNodeRef Ref)
    : TXMLNodeCollection(std::move(Ref), "MsgStat") {}

std::shared_ptr<TXMLNode> TXMLVexoMessageStatusListType::CreateItem(TXMLNodeRef Ref) const {
    return std::make_shared<TXMLMsgStatType>(std::move(Ref));
}

std::shared_ptr<IXMLMsgStatType> TXMLVexoMessageStatusListType::GetItem(int Index) const {
    return std::make_shared<TXMLMsgStatType>(ItemRef(Index));
}

std::shared_ptr<IXMLMsgStatType> TXMLVexoMessageStatusListType::Add() {
    return std::make_shared<TXMLMsgStatType>(AddItem());
}

std::shared_ptr<IXMLMsgStatType> TXMLVexoMessageStatusListType::Insert(int Index) {
    return std::make_shared<TXMLMsgStatType>(InsertItem(Index));
}

// ---- TXMLMsgStatType ----

std::string TXMLMsgStatType::GetStatTime() const { return GetStringAttr("StatTime"); }
std::string TXMLMsgStatType::GetStatText() const { return GetStringAttr("StatText"); }
std::string TXMLMsgStatType::GetStatus() const { return GetStringAttr("Status"); }
std::shared_ptr<uVexoOSStatus::IXMLMsgIdentType> TXMLMsgStatType::GetMsgIdent() const {
    return GetChild<uVexoOSStatus::TXMLMsgIdentType>("MsgIdent");
}
void TXMLMsgStatType::SetStatTime(const std::string& Value) { SetStringAttr("StatTime", Value); }
void TXMLMsgStatType::SetStatText(const std::string& Value) { SetStringAttr("StatText", Value); }
void TXMLMsgStatType::SetStatus(const std::string& Value) { SetStringAttr("Status", Value); }

// ---- uVexoOSStatus::TXMLMsgIdentType ----

namespace uVexoOSStatus {

std::string TXMLMsgIdentType::GetMsgID() const { return GetStringAttr("MsgID"); }
std::string TXMLMsgIdentType::GetReqID() const { return GetStringAttr("ReqID"); }
std::string TXMLMsgIdentType::GetRef() const { return GetStringAttr("Ref"); }
std::string TXMLMsgIdentType::GetProt() const { return GetStringAttr("Prot"); }
std::string TXMLMsgIdentType::GetRcpt() const { return GetStringAttr("Rcpt"); }
std::string TXMLMsgIdentType::GetClientApp() const { return GetStringAttr("ClientApp"); }
void TXMLMsgIdentType::SetMsgID(const std::string& Value) { SetStringAttr("MsgID", Value); }
void TXMLMsgIdentType::SetReqID(const std::string& Value) { SetStringAttr("ReqID", Value); }
void TXMLMsgIdentType::SetRef(const std::string& Value) { SetStringAttr("Ref", Value); }
void TXMLMsgIdentType::SetProt(const std::string& Value) { SetStringAttr("Prot", Value); }
void TXMLMsgIdentType::SetRcpt(const std::string& Value) { SetStringAttr("Rcpt", Value); }
void TXMLMsgIdentType::SetClientApp(const std::string& Value) { SetStringAttr("ClientApp", Value); }

}  // namespace uVexoOSStatus
