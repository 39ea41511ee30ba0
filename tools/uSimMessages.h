// The messages the gateway simulator keeps, in compact form, and the one-pass reader that fills
// them from a batch XML document (clientsdk/BatchFormat.h).
//
// A simulator run may hold millions of messages. Each is a 12-byte record; its texts sit side by
// side in large blocks, each after its length, so a message costs its texts plus about 20 bytes.
// Nothing is moved or copied again once stored.
//
// Not thread safe: the simulator guards its store with its own lock.
#pragma once

#include <array>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "clientsdk/BatchFormat.h"

// The texts of a message, in the order they are stored.
enum ESimText : uint8_t {
    kSimBatchName,
    kSimProtocol,
    kSimMessageType,
    kSimReference,
    kSimText,
    kSimCellNo,
    kSimEmail,
    kSimFaxNo,
    kSimTextCount
};

using TSimTexts = std::array<std::string_view, kSimTextCount>;

class TSimMessages {
  public:
    size_t Size() const { return Records_.size(); }
    // The texts of message I; valid until the next change.
    TSimTexts Texts(size_t I) const;
    std::string_view Text(size_t I, ESimText T) const { return Texts(I)[T]; }
    // The tag message I was added with.
    uint32_t Tag(size_t I) const { return Records_[I].Tag; }

    // Appends one message with its texts as they are.
    void Add(const TSimTexts& Texts, uint32_t Tag);

    // Reads a batch XML document in one pass and appends its messages with Tag: per MessageRequest
    // its batch name and reference, its OverrideProtocol's protocol name, message type and text,
    // and its first Recipient's numbers and address. Reads only the plain form the SDK writes (no
    // comments, prefixes, CDATA or unusual references, values as the writer escapes them);
    // returns false for anything else, leaving the messages as they were, and the caller reads
    // the document with ReadBatchXml, which decides. A document it reads, ReadBatchXml reads to
    // the same values.
    bool AddBatchXml(std::string_view Xml, uint32_t Tag);
    // The messages of a batch ReadBatchXml returned, read the same way.
    void AddBatch(const TBatch& Batch, uint32_t Tag);

  private:
    struct TRecord {
        uint32_t Block, Offset;  // where its first length starts
        uint32_t Tag;
    };
    // Each block is filled up to its capacity and never grows, so its texts stay where they are.
    struct TBlock {
        struct TFree {
            void operator()(char* P) const { std::free(P); }
        };
        std::unique_ptr<char, TFree> Data;
        size_t Used = 0, Capacity = 0;
    };
    // Where a new record's texts (at most Bytes, with their lengths) are written: the end of the
    // last block, after the record is added. The caller moves the block's Used on.
    char* NewRecord(size_t Bytes, uint32_t Tag);

    std::vector<TBlock> Blocks_;
    std::deque<TRecord> Records_;
};

// Asks for huge pages under the 2 MB-aligned part of [Data, Data + Bytes). The simulator's large
// buffers (the store's blocks, a big batch's body) take hundreds of megabytes; faulting them in
// 4 KB at a time costs more than the work done on them, most of all on a virtual machine.
void AdviseHugePages(void* Data, size_t Bytes);
constexpr size_t kHugePageBytes = size_t(2) << 20;

// The address the gateway delivers a message to: the recipient's number or address for its
// protocol (fax number for FAX, e-mail for EMAIL, cell number otherwise, in any case), or else
// the first of the three that is set.
std::string_view SimAddress(const TSimTexts& Texts);
