// The messages read from one claimed file. The list keeps them packed, a small record per
// message and per recipient and their texts side by side in large blocks, so that a file of a
// million rows takes little more room than its own text. TVexoMessage is a handle on one message
// of its list. One worker thread owns a list and everything in it.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <type_traits>
#include <vector>

#include "platform/Memory.h"
#include "support/uVexoRecipients.h"

// Records kept in blocks that never move: a first small one, then large ones, so that a million
// records neither move nor fault page by page as they come, and a few take little room.
template <class T>
class TRecordBlocks {
    static_assert(std::is_trivially_destructible_v<T>);

  public:
    size_t size() const { return Count; }
    T& operator[](size_t I) { return At(I); }
    const T& operator[](size_t I) const { return const_cast<TRecordBlocks*>(this)->At(I); }
    T& back() { return At(Count - 1); }
    void push_back(const T& Record) {
        if (Count == Capacity) {
            const size_t More = Blocks.empty() ? kFirst : kPerBlock;
            Blocks.push_back(AllocateLargeBlock(More * sizeof(T)));
            Capacity += More;
        }
        new (&At(Count)) T(Record);
        ++Count;
    }
    void clear() {
        Blocks.clear();
        Count = Capacity = 0;
    }

  private:
    static constexpr size_t kFirst = 1024;
    static constexpr size_t kPerBlock = (size_t(4) << 20) / sizeof(T);
    T& At(size_t I) {
        if (I < kFirst) return reinterpret_cast<T*>(Blocks[0].get())[I];
        I -= kFirst;
        return reinterpret_cast<T*>(Blocks[1 + I / kPerBlock].get())[I % kPerBlock];
    }
    std::vector<TLargeBlock> Blocks;
    size_t Count = 0, Capacity = 0;
};

class TVexoMessage {
  public:
    // Texts are views of the list's own copies, valid until the list is cleared or destroyed;
    // the setters copy what they are given.
    std::string_view Text() const;
    void SetText(std::string_view Value);
    std::string_view Reference() const;
    void SetReference(std::string_view Value);
    std::string_view MessageType() const;
    void SetMessageType(std::string_view Value);
    int16_t Priority() const;
    void SetPriority(int16_t Value);
    // The gateway's identifier, once submitted; 0 before.
    int64_t MessageID() const;
    void SetMessageID(int64_t Value);
    TVexoRecipients Recipients() const { return TVexoRecipients(List, Index); }
    TVexoMessages* Owner() const { return List; }

  private:
    friend class TVexoMessages;
    TVexoMessage(TVexoMessages* List, int32_t Index) : List(List), Index(Index) {}

    TVexoMessages* List;
    int32_t Index;
};

class TVexoMessages {
  public:
    TVexoMessages() = default;
    TVexoMessages(const TVexoMessages&) = delete;
    TVexoMessages& operator=(const TVexoMessages&) = delete;

    // A new message of this list, appended at the end: Priority -1, MessageID 0, empty texts and
    // no recipients.
    TVexoMessage Add();
    // Frees every message with its recipients.
    void Clear();
    // The message at I (from 0); throws std::runtime_error when out of range.
    TVexoMessage Items(int32_t I) const;
    int32_t Count() const { return static_cast<int32_t>(Messages.size()); }
    // The recipients of all messages together.
    int32_t RecipientCount() const { return static_cast<int32_t>(Recipients.size()); }

  private:
    friend class TVexoMessage;
    friend class TVexoRecipients;

    // A text of the blocks: its block, its offset there and its length, in one word.
    using TSpan = uint64_t;
    struct TMessageRecord {
        TSpan Text = 0, Reference = 0, MessageType = 0;
        int64_t MessageID = 0;
        int32_t FirstRecipient = -1, LastRecipient = -1;
        int32_t RecipientCount = 0;
        int16_t Priority = -1;
    };
    struct TRecipientRecord {
        TSpan CellNo = 0, FaxNo = 0, Email = 0;
        int32_t Next = -1;  // the message's next recipient
        uint8_t Kind = 0;
    };

    // Copies Text into the blocks; throws std::runtime_error for a text too long to keep.
    TSpan Keep(std::string_view Text);
    std::string_view View(TSpan Span) const;
    TMessageRecord& Record(int32_t I) { return Messages[static_cast<size_t>(I)]; }
    const TMessageRecord& Record(int32_t I) const { return Messages[static_cast<size_t>(I)]; }

    TRecordBlocks<TMessageRecord> Messages;
    TRecordBlocks<TRecipientRecord> Recipients;
    std::vector<TLargeBlock> Blocks;
    size_t BlockSize = 0;  // of the last block
    size_t Used = 0;       // of the last block
};
