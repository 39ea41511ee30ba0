#include "gateway/uVexoOSReplies.h"

std::shared_ptr<IXMLVexoReplyListType> GetVexoReplyList(const std::shared_ptr<TXMLDocument>& Doc) {
    return GetDocBinding<TXMLVexoReplyListType>(Doc, "VexoReplyList");
}

// ---- TXMLVexoReplyListType ----

TXMLVexoReplyListType::TXMLVexoReplyListType(TXMLNodeRef Ref)
    : TXMLNodeCollection(std::move(Ref), "ReplyDet") {}

std::shared_ptr<TXMLNode> TXMLVexoReplyListType::CreateItem(TXMLNodeRef Ref) const {
    return std::make_shared<TXMLReplyDetType>(std::move(Ref));
}

std::shared_ptr<IXMLReplyDetType> TXMLVexoReplyListType::GetItem(int Index) const {
    return std::make_shared<TXMLReplyDetType>(ItemRef(Index));
}

std::shared_ptr<IXMLReplyDetType> TXMLVexoReplyListType::Add() {
    return std::make_shared<TXMLReplyDetType>(AddItem());
}

std::shared_ptr<IXMLReplyDetType> TXMLVexoReplyListType::Insert(int Index) {
    return std::make_shared<TXMLReplyDetType>(InsertItem(Index));
}

// ---- TXMLReplyDetType ----

std::string TXMLReplyDetType::GetProt() const { return GetStringAttr("Prot"); }
std::string TXMLReplyDetType::GetReplyMsg() const { return GetStringAttr("ReplyMsg"); }
int TXMLReplyDetType::GetSeq() const { return GetIntegerAttr("Seq"); }
std::string TXMLReplyDetType::GetRecTime() const { return GetStringAttr("RecTime"); }
std::string TXMLReplyDetType::GetOriginator() const { return GetStringAttr("Originator"); }
std::shared_ptr<uVexoOSReplies::IXMLMsgIdentType> TXMLReplyDetType::GetMsgIdent() const {
    return GetChild<uVexoOSReplies::TXMLMsgIdentType>("MsgIdent");
}
void TXMLReplyDetType::SetProt(const std::string& Value) { SetStringAttr("Prot", Value); }
void TXMLReplyDetType::SetReplyMsg(const std::string& Value) { SetStringAttr("ReplyMsg", Value); }
void TXMLReplyDetType::SetSeq(int Value) { SetIntegerAttr("Seq", Value); }
void TXMLReplyDetType::SetRecTime(const std::string& Value) { SetStringAttr("RecTime", Value); }
void TXMLReplyDetType::SetOriginator(const std::string& Value) {
    SetStringAttr("Originator", Value);
}

// ---- uVexoOSReplies::TXMLMsgIdentType ----

namespace uVexoOSReplies {

std::string TXMLMsgIdentType::GetMsgID() const { return GetStringAttr("MsgID"); }
std::string TXMLMsgIdentType::GetReqID() const { return GetStringAttr("ReqID"); }
std::string TXMLMsgIdentType::GetRef() const { return GetStringAttr("Ref"); }
std::string TXMLMsgIdentType::GetClientApp() const { return GetStringAttr("ClientApp"); }
void TXMLMsgIdentType::SetMsgID(const std::string& Value) { SetStringAttr("MsgID", Value); }
void TXMLMsgIdentType::SetReqID(const std::string& Value) { SetStringAttr("ReqID", Value); }
void TXMLMsgIdentType::SetRef(const std::string& Value) { SetStringAttr("Ref", Value); }
void TXMLMsgIdentType::SetClientApp(const std::string& Value) { SetStringAttr("ClientApp", Value); }

}  // namespace uVexoOSReplies
