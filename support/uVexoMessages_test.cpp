#include "support/uVexoMessages.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Adds a message with one recipient, as reading an accepted row does.
TVexoMessage AddWithRecipient(TVexoMessages& Messages, const std::string& CellNo) {
    TVexoMessage Message = Messages.Add();
    TVexoRecipient Recipient;
    Recipient.CellNo = CellNo;
    Message.Recipients().Add(1, Recipient);
    return Message;
}

TEST(VexoMessagesTest, NewMessageHasItsInitialValues) {
    TVexoMessages Messages;
    TVexoMessage Message = Messages.Add();
    EXPECT_EQ(Message.Priority(), -1);
    EXPECT_EQ(Message.MessageID(), 0);
    EXPECT_EQ(Message.Text(), "");
    EXPECT_EQ(Message.Reference(), "");
    EXPECT_EQ(Message.MessageType(), "");
    EXPECT_EQ(Message.Recipients().Count(), 0);
    EXPECT_EQ(Message.Owner(), &Messages);
    EXPECT_EQ(Messages.Count(), 1);
}

TEST(VexoMessagesTest, TextsAndRecipientsAreKeptAsGiven) {
    TVexoMessages Messages;
    for (int I = 0; I < 3; ++I) AddWithRecipient(Messages, "082000000" + std::to_string(I));
    // A message whose recipient was never added counts none.
    TVexoMessage Lone = Messages.Add();
    TVexoRecipient Stray;
    Stray.Email = "a@b.c";
    EXPECT_EQ(Messages.RecipientCount(), 3);

    // The list keeps its own copies: what the caller filled them from may go.
    {
        std::string Text(100000, 'x'), Reference = "REF-" + std::string(40, 'r');
        Lone.SetText(Text);
        Lone.SetReference(Reference);
        Lone.SetMessageType("DEF");
        Lone.SetPriority(-32768);
        Lone.SetMessageID(8589934593LL);
    }
    for (int I = 0; I < 2; ++I) {
        std::string Fax = "011000000" + std::to_string(I);
        TVexoRecipient Recipient;
        Recipient.FaxNo = Fax;
        EXPECT_EQ(Lone.Recipients().Add(2, Recipient), I);
        EXPECT_EQ(Recipient.Index, I);
        EXPECT_EQ(Recipient.Kind, 2);
    }
    const TVexoMessage Again = Messages.Items(3);
    EXPECT_EQ(Again.Text(), std::string(100000, 'x'));
    EXPECT_EQ(Again.Reference(), "REF-" + std::string(40, 'r'));
    EXPECT_EQ(Again.MessageType(), "DEF");
    EXPECT_EQ(Again.Priority(), -32768);
    EXPECT_EQ(Again.MessageID(), 8589934593LL);
    ASSERT_EQ(Again.Recipients().Count(), 2);
    EXPECT_EQ(Again.Recipients().Items(1).FaxNo, "0110000001");
    EXPECT_EQ(Again.Recipients().Items(1).Index, 1);
    EXPECT_EQ(Again.Recipients().Items(1).Kind, 2);
    EXPECT_EQ(Messages.Items(2).Recipients().Items(0).CellNo, "0820000002");
    EXPECT_EQ(Messages.RecipientCount(), 5);

    EXPECT_THROW(Messages.Items(4), std::runtime_error);
    EXPECT_THROW(Again.Recipients().Items(2), std::runtime_error);
    EXPECT_THROW(Again.Recipients().Items(-1), std::runtime_error);
    EXPECT_THROW(Lone.SetText(std::string(size_t(1) << 24, 'y')), std::runtime_error);
}

TEST(VexoMessagesTest, ClearFreesEverythingAndTheListFillsAgain) {
    TVexoMessages Messages;
    for (int I = 0; I < 5; ++I) AddWithRecipient(Messages, std::to_string(I));
    Messages.Clear();
    EXPECT_EQ(Messages.Count(), 0);
    EXPECT_EQ(Messages.RecipientCount(), 0);
    EXPECT_THROW(Messages.Items(0), std::runtime_error);
    TVexoMessage Again = AddWithRecipient(Messages, "27820000000");
    Again.SetMessageID(42);
    EXPECT_EQ(Messages.Items(0).MessageID(), 42);
    EXPECT_EQ(Messages.Items(0).Recipients().Items(0).CellNo, "27820000000");
    EXPECT_EQ(Messages.RecipientCount(), 1);
}

}  // namespace
