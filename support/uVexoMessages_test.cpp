#include "support/uVexoMessages.h"

#include <gtest/gtest.h>

namespace {

// Adds a message with one recipient, as reading an accepted row does.
TVexoMessage& AddWithRecipient(TVexoMessages& Messages, const std::string& CellNo) {
    TVexoMessage& message = Messages.Add();
    auto recipient = std::make_unique<TVexoRecipient>(&message.Recipients);
    recipient->CellNo = CellNo;
    message.Recipients.Add(1, std::move(recipient));
    return message;
}

TEST(VexoMessagesTest, NewMessageHasItsInitialValues) {
    TVexoMessages messages;
    TVexoMessage& message = messages.Add();
    EXPECT_EQ(message.Priority, -1);
    EXPECT_EQ(message.MessageID, 0);
    EXPECT_EQ(message.Text, "");
    EXPECT_EQ(message.Reference, "");
    EXPECT_EQ(message.MessageType, "");
    EXPECT_EQ(message.Recipients.Count(), 0);
    EXPECT_EQ(message.Owner, &messages);
    EXPECT_EQ(&messages.Items(0), &message);
    EXPECT_EQ(messages.Count(), 1);
}

TEST(VexoMessagesTest, RecipientCount) {
    TVexoMessages messages;
    EXPECT_EQ(messages.RecipientCount(), 0);
    AddWithRecipient(messages, "0820000001");
    AddWithRecipient(messages, "0820000002");
    AddWithRecipient(messages, "0820000003");
    EXPECT_EQ(messages.RecipientCount(), 3);
    // A recipient made for a message but never added does not count.
    TVexoMessage& lone = messages.Add();
    TVexoRecipient stray(&lone.Recipients);
    EXPECT_EQ(messages.RecipientCount(), 3);
    EXPECT_EQ(messages.Count(), 4);
    EXPECT_EQ(messages.Items(2).Recipients.Items(0).CellNo, "0820000003");
}

TEST(VexoMessagesTest, ClearFreesEverythingAndTheListFillsAgain) {
    TVexoMessages messages;
    for (int i = 0; i < 5; ++i) AddWithRecipient(messages, std::to_string(i));
    messages.Clear();
    EXPECT_EQ(messages.Count(), 0);
    EXPECT_EQ(messages.RecipientCount(), 0);
    EXPECT_THROW(messages.Items(0), std::runtime_error);
    TVexoMessage& again = AddWithRecipient(messages, "27820000000");
    again.MessageID = 42;
    EXPECT_EQ(messages.Items(0).MessageID, 42);
    EXPECT_EQ(messages.RecipientCount(), 1);
}

TEST(VexoRecipientsTest, AddSetsPositionAndKind) {
    TVexoRecipients recipients;
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(recipients.Add(3, std::make_unique<TVexoRecipient>(&recipients)), i);
    auto third = std::make_unique<TVexoRecipient>(&recipients);
    third->Email = "a@b.c";
    TVexoRecipient* raw = third.get();
    EXPECT_EQ(raw->Index, 0);
    EXPECT_EQ(raw->Kind, 0);
    EXPECT_EQ(recipients.Add(2, std::move(third)), 2);
    EXPECT_EQ(raw->Index, 2);
    EXPECT_EQ(raw->Kind, 2);
    EXPECT_EQ(raw->Owner, &recipients);
    EXPECT_EQ(&recipients.Items(2), raw);
    EXPECT_EQ(recipients.Count(), 3);
    EXPECT_THROW(recipients.Items(3), std::runtime_error);
    EXPECT_THROW(recipients.Items(-1), std::runtime_error);
    EXPECT_THROW(recipients.Add(1, nullptr), std::runtime_error);
    EXPECT_EQ(recipients.Count(), 3);
}

}  // namespace
