// The messages read from one claimed file. One worker thread owns a list and everything in it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/uVexoRecipients.h"

class TVexoMessages;

class TVexoMessage {
  public:
    explicit TVexoMessage(TVexoMessages* Owner) : Owner(Owner) {}
    TVexoMessage(const TVexoMessage&) = delete;
    TVexoMessage& operator=(const TVexoMessage&) = delete;

    std::string Text;
    TVexoRecipients Recipients;
    TVexoMessages* Owner = nullptr;  // not owning
    int16_t Priority = -1;
    std::string Reference;
    std::string MessageType;
    int64_t MessageID = 0;  // the gateway's identifier, once submitted
};

class TVexoMessages {
  public:
    TVexoMessages() = default;
    TVexoMessages(const TVexoMessages&) = delete;
    TVexoMessages& operator=(const TVexoMessages&) = delete;

    // A new message owned by this list, appended at the end.
    TVexoMessage& Add();
    // Frees every message with its recipients.
    void Clear() { List.clear(); }
    // The message at I (from 0); throws std::runtime_error when out of range.
    TVexoMessage& Items(int32_t I) const;
    int32_t Count() const { return static_cast<int32_t>(List.size()); }
    // The recipients of all messages together.
    int32_t RecipientCount() const;

  private:
    std::vector<std::unique_ptr<TVexoMessage>> List;
};
