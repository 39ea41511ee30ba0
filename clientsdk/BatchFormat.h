// The two documents that pass between the client SDK and the gateway, defined once and shared by
// the SDK (clientsdk/) and the gateway simulator (tools/).
//
// 1. The batch XML: what a BatchRequest object hands out and what the gateway's Send accepts as
//    XMLStream. Every value is an attribute; child elements carry the structure:
//
//    <?xml version="1.0" encoding="UTF-8"?>
//    <BatchRequest BatchName="ABC">
//      <Sender Name="Org" Email="org@example.com" CellNo="0821234567" FaxNo="0111234567"/>
//      <MessageRequest BatchName="ABC" Reference="R1" Priority="0" DateTime="2004-12-24 21:00:00"
//                      Flag="true">
//        <OverrideProtocol ProtocolName="SMS" MessageType="TEXT" Flag="true" MessageText="Hi"/>
//        <Recipient CellNo="0821234567" Email="" FaxNo=""/>
//      </MessageRequest>
//      ... one MessageRequest per message, in the order they were added ...
//    </BatchRequest>
//
//    Exactly one Sender and one OverrideProtocol per MessageRequest are written (empty values when
//    none was set); a MessageRequest holds zero or more Recipient elements. Flags are "true" or
//    "false", Priority a signed decimal 32-bit integer. Tab, line feed and carriage return inside
//    values are written as character references, so they read back unchanged.
//
// 2. The BatchInfo reply: the gateway's answer to Send, its remotable type BatchInfo in the
//    service namespace, members as child elements in this order:
//
//    <?xml version="1.0" encoding="UTF-8"?>
//    <BatchInfo xmlns="http://vexo.gateway">
//      <RqstList>
//        <RqstIdent>
//          <Rcpt><Name/><CellNo>0821234567</CellNo><Email/><FaxNo/><TelNo/><MergeVars/></Rcpt>
//          <ReqID>1001</ReqID>
//          <Ref>R1</Ref>
//        </RqstIdent>
//        ... one RqstIdent per MessageRequest, in submission order ...
//      </RqstList>
//      <RecTime>2024-01-31 10:00:00</RecTime>
//      <BatchID>17</BatchID>
//      <BatchNo>B17</BatchNo>
//    </BatchInfo>
//
//    Reading matches elements by local name (any prefix or namespace is accepted); a member that is
//    absent reads as empty or zero. ReqID and BatchID are signed decimal 64-bit integers.
//
// Text: every value is written through ToXmlText, so text that is not valid UTF-8 is taken as
// Windows-1252 and characters XML 1.0 forbids are dropped; the output is always well-formed UTF-8.
// Writing is one pass into one reserved string, linear in the size of the batch.
// The readers throw std::runtime_error with a message naming what is wrong.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct TBatchRecipient {
    std::string CellNo, Email, FaxNo;
    bool operator==(const TBatchRecipient&) const = default;
};

struct TBatchOverride {
    std::string ProtocolName, MessageType, MessageText;
    bool Flag = false;
    bool operator==(const TBatchOverride&) const = default;
};

struct TBatchMessage {
    std::string BatchName, Reference, DateTime;
    int32_t Priority = 0;
    bool Flag = false;
    TBatchOverride Override;
    std::vector<TBatchRecipient> Recipients;
    bool operator==(const TBatchMessage&) const = default;
};

struct TBatchSender {
    std::string Name, Email, CellNo, FaxNo;
    bool operator==(const TBatchSender&) const = default;
};

struct TBatch {
    std::string BatchName;
    TBatchSender Sender;
    std::vector<TBatchMessage> Messages;
    bool operator==(const TBatch&) const = default;
};

std::string WriteBatchXml(const TBatch& Batch);
// Throws std::runtime_error when Xml is not well-formed or not a BatchRequest document, or when a
// Priority or Flag value cannot be read.
TBatch ReadBatchXml(const std::string& Xml);

// Piecewise writing of the same document, for callers that keep the batch in objects of their own
// (the SDK's BatchRequest): head, then one AppendBatchMessageXml per message, then the tail.
void AppendBatchHeadXml(std::string& Out, const std::string& BatchName, const TBatchSender& Sender);
void AppendBatchMessageXml(std::string& Out, const TBatchMessage& Message);
// One message from parts kept apart: its head (Message's own Override and Recipients are not
// read), one AppendBatchRecipientXml per recipient, its tail.
void AppendBatchMessageHeadXml(std::string& Out, const TBatchMessage& Message,
                               const TBatchOverride& Override);
void AppendBatchRecipientXml(std::string& Out, const TBatchRecipient& Recipient);
void AppendBatchMessageTailXml(std::string& Out);
void AppendBatchTailXml(std::string& Out);

struct TBatchInfoItem {
    std::string RcptCellNo, RcptEmail, RcptFaxNo;
    int64_t ReqID = 0;
    std::string Ref;
    std::string RcptName, RcptTelNo, RcptMergeVars;
    bool operator==(const TBatchInfoItem&) const = default;
};

struct TBatchInfoReply {
    std::vector<TBatchInfoItem> Items;
    std::string RecTime;
    int64_t BatchID = 0;
    std::string BatchNo;
    bool operator==(const TBatchInfoReply&) const = default;
};

std::string WriteBatchInfoXml(const TBatchInfoReply& Reply);
// Throws std::runtime_error when Xml is not well-formed or not a BatchInfo document, or when a
// ReqID or BatchID is not a 64-bit integer.
TBatchInfoReply ReadBatchInfoXml(const std::string& Xml);
// The items' ReqID values alone, in order, with the same checks and failures.
std::vector<int64_t> ReadBatchInfoIdentifiers(std::string_view Xml);
