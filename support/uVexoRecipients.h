// The recipients of one message. One worker thread owns a list and everything in it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class TVexoRecipients;

class TVexoRecipient {
  public:
    // Made for Owner's list, but in it only once Owner->Add takes it.
    explicit TVexoRecipient(TVexoRecipients* Owner) : Owner(Owner) {}

    std::string CellNo;
    std::string FaxNo;
    std::string Email;
    int32_t Index = 0;                 // position in its list, set by Add
    TVexoRecipients* Owner = nullptr;  // not owning
    uint8_t Kind = 0;                  // 0 none, 1 cell number, 2 fax number, 3 e-mail address
};

class TVexoRecipients {
  public:
    TVexoRecipients() = default;
    TVexoRecipients(const TVexoRecipients&) = delete;
    TVexoRecipients& operator=(const TVexoRecipients&) = delete;

    // Appends Recipient, sets its Index and Kind, and returns its position.
    int32_t Add(uint8_t Kind, std::unique_ptr<TVexoRecipient> Recipient);
    int32_t Count() const { return static_cast<int32_t>(List.size()); }
    // The recipient at I (from 0); throws std::runtime_error when out of range.
    TVexoRecipient& Items(int32_t I) const;

  private:
    std::vector<std::unique_ptr<TVexoRecipient>> List;
};
