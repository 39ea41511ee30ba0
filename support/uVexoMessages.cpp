#include "support/uVexoMessages.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

namespace {

// A span is 40 bits of offset (a block's number, then the place in it) and 24 bits of length.
constexpr int kLengthBits = 24;
constexpr int kPlaceBits = 24;
constexpr uint64_t kMaxLength = (uint64_t(1) << kLengthBits) - 1;
// Blocks as large as the longest text: nothing ever spans two. Pages of a block that nothing was
// written to yet take no memory.
constexpr size_t kBlockSize = size_t(1) << kPlaceBits;
constexpr uint64_t kMaxBlocks = uint64_t(1) << (64 - kLengthBits - kPlaceBits);
constexpr size_t kFirstBlockSize = size_t(64) << 10;

std::runtime_error OutOfRange(int32_t I) {
    return std::runtime_error("List index out of bounds (" + std::to_string(I) + ")");
}

}  // namespace

TVexoMessages::TSpan TVexoMessages::Keep(std::string_view Text) {
    if (Text.empty()) return 0;
    if (Text.size() > kMaxLength)
        throw std::runtime_error("A text of " + std::to_string(Text.size()) +
                                 " bytes is too long to keep");
    if (Blocks.empty() || Used + Text.size() > BlockSize) {
        if (Blocks.size() == kMaxBlocks) throw std::runtime_error("Too much text to keep");
        // The blocks grow as the texts come: a small file stays small.
        BlockSize = Blocks.empty() ? kFirstBlockSize : std::min(BlockSize * 2, kBlockSize);
        while (BlockSize < Text.size()) BlockSize *= 2;
        Blocks.push_back(AllocateLargeBlock(BlockSize));
        Used = 0;
    }
    std::memcpy(Blocks.back().get() + Used, Text.data(), Text.size());
    const uint64_t Offset = (uint64_t(Blocks.size() - 1) << kPlaceBits) | Used;
    Used += Text.size();
    return (Offset << kLengthBits) | Text.size();
}

std::string_view TVexoMessages::View(TSpan Span) const {
    const size_t Length = Span & kMaxLength;
    if (Length == 0) return {};
    const uint64_t Offset = Span >> kLengthBits;
    return {Blocks[Offset >> kPlaceBits].get() + (Offset & (kBlockSize - 1)), Length};
}

TVexoMessage TVexoMessages::Add() {
    Messages.push_back(TMessageRecord{});
    return TVexoMessage(this, Count() - 1);
}

void TVexoMessages::Clear() {
    Messages.clear();
    Recipients.clear();
    Blocks.clear();
    Used = BlockSize = 0;
}

TVexoMessage TVexoMessages::Items(int32_t I) const {
    if (I < 0 || I >= Count()) throw OutOfRange(I);
    return TVexoMessage(const_cast<TVexoMessages*>(this), I);
}

std::string_view TVexoMessage::Text() const { return List->View(List->Record(Index).Text); }
void TVexoMessage::SetText(std::string_view Value) { List->Record(Index).Text = List->Keep(Value); }
std::string_view TVexoMessage::Reference() const {
    return List->View(List->Record(Index).Reference);
}
void TVexoMessage::SetReference(std::string_view Value) {
    List->Record(Index).Reference = List->Keep(Value);
}
std::string_view TVexoMessage::MessageType() const {
    return List->View(List->Record(Index).MessageType);
}
void TVexoMessage::SetMessageType(std::string_view Value) {
    List->Record(Index).MessageType = List->Keep(Value);
}
int16_t TVexoMessage::Priority() const { return List->Record(Index).Priority; }
void TVexoMessage::SetPriority(int16_t Value) { List->Record(Index).Priority = Value; }
int64_t TVexoMessage::MessageID() const { return List->Record(Index).MessageID; }
void TVexoMessage::SetMessageID(int64_t Value) { List->Record(Index).MessageID = Value; }

int32_t TVexoRecipients::Add(uint8_t Kind, TVexoRecipient& Recipient) {
    TVexoMessages::TRecipientRecord Added;
    Added.CellNo = List->Keep(Recipient.CellNo);
    Added.FaxNo = List->Keep(Recipient.FaxNo);
    Added.Email = List->Keep(Recipient.Email);
    Added.Kind = Kind;
    const int32_t At = List->RecipientCount();
    List->Recipients.push_back(Added);
    TVexoMessages::TMessageRecord& Owner = List->Record(Message);
    if (Owner.LastRecipient < 0)
        Owner.FirstRecipient = At;
    else
        List->Recipients[static_cast<size_t>(Owner.LastRecipient)].Next = At;
    Owner.LastRecipient = At;
    const int32_t Position = Owner.RecipientCount++;
    Recipient.Index = Position;
    Recipient.Kind = Kind;
    // From here on the recipient reads the list's own copies.
    const TVexoMessages::TRecipientRecord& Kept = List->Recipients.back();
    Recipient.CellNo = List->View(Kept.CellNo);
    Recipient.FaxNo = List->View(Kept.FaxNo);
    Recipient.Email = List->View(Kept.Email);
    return Position;
}

int32_t TVexoRecipients::Count() const { return List->Record(Message).RecipientCount; }

TVexoRecipient TVexoRecipients::Items(int32_t I) const {
    if (I < 0 || I >= Count()) throw OutOfRange(I);
    int32_t At = List->Record(Message).FirstRecipient;
    for (int32_t Step = 0; Step < I; ++Step) At = List->Recipients[static_cast<size_t>(At)].Next;
    const TVexoMessages::TRecipientRecord& R = List->Recipients[static_cast<size_t>(At)];
    TVexoRecipient Out;
    Out.CellNo = List->View(R.CellNo);
    Out.FaxNo = List->View(R.FaxNo);
    Out.Email = List->View(R.Email);
    Out.Index = I;
    Out.Kind = R.Kind;
    return Out;
}
