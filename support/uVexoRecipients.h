// The recipients of one message. They are kept in the packed storage of the message's list
// (uVexoMessages); one worker thread owns a list and everything in it.
#pragma once

#include <cstdint>
#include <string_view>

class TVexoMessages;

// A recipient as it is added to a message, or as the message gives it back. The addresses are
// views: before Add, of the texts the caller filled them from, which Add copies into the list;
// afterwards, of the list's own copies, valid until the list is cleared or destroyed.
struct TVexoRecipient {
    std::string_view CellNo;
    std::string_view FaxNo;
    std::string_view Email;
    int32_t Index = 0;  // position in its list, set by Add
    uint8_t Kind = 0;   // 0 none, 1 cell number, 2 fax number, 3 e-mail address
};

// The recipient list of one message of a TVexoMessages: a handle on that message, cheap to copy,
// valid while its list is.
class TVexoRecipients {
  public:
    // Appends Recipient's addresses, sets its Index and Kind, and returns its position.
    int32_t Add(uint8_t Kind, TVexoRecipient& Recipient);
    int32_t Count() const;
    // The recipient at I (from 0); throws std::runtime_error when out of range.
    TVexoRecipient Items(int32_t I) const;

  private:
    friend class TVexoMessage;
    TVexoRecipients(TVexoMessages* List, int32_t Message) : List(List), Message(Message) {}

    TVexoMessages* List;
    int32_t Message;
};
