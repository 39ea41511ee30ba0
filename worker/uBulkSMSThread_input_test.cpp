// Reading a claimed file: which rows become messages (as the gateway receives them) and which
// become confirmation lines with their reason.
#include "worker/uBulkSMSThread_testenv.h"

namespace bulktest {
namespace {

// One received message as "Reference|Address|MessageType|Text".
std::vector<std::string> Received(TGatewaySim& Sim) {
    std::vector<std::string> Out;
    for (const auto& M : Sim.Messages())
        Out.push_back(M.Reference + "|" + M.Address + "|" + M.MessageType + "|" + M.Text);
    return Out;
}

std::string Submitted(const std::string& Address, const std::string& Reference, int64_t ReqID) {
    return "\"" + Address + "\",\"" + Reference + "\",\"Sucessfully submitted to Vexo.\"," +
           "\"MessageID=" + std::to_string(ReqID) + "\"";
}

using ReadingRows = TWorkerTest;

TEST_F(ReadingRows, SmsRowsAreSplitValidatedAndNormalised) {
    const std::string File =
        "0820000000,REF1,TXT,Hello\r\n"
        "0820000000,REF2,DEF,Hello\n"
        "0820000000,REF3,DEF,messagetext=Hi\r"
        "0820000000,REF4,def,Hello\r\n"
        "0820000000,REF5,TXT\r\n"
        "0820000000,REF6,DEF\r\n"
        "0820000000,REF7,TXT,,extra\r\n"
        "0820000000,REF8,, Hi\r\n"
        "0820000000,REF9\r\n"
        "\r\n"
        "no comma at all\r\n"
        "0820000000,REF10,TXT,\r\n"
        "0820000000,REF11,TXT, \r\n"
        "820000000,REF12,TXT,Hi\r\n"
        "840000000,REF13,TXT,Hi\r\n"
        "082000000,REF14,TXT,Hi\r\n"
        "+27820000000,REF15,TXT,Hi\r\n"
        "08200000,REF16,TXT,Hi\r\n"
        "082 000 0000,REF17,TXT,Hi\r\n"
        "Cell No.,Reference,Type,Text\r\n"
        "0820000000,R3,TXT,\"Hello, world\"\r\n"
        "0820000000,R4,TXT,\"Hello\"\r\n"
        ",R22,TXT,Hi\r\n"
        "  0830000000 , R23 , TXT , padded  \r\n"
        "0820000000,RNUL,TXT,Hi" +
        std::string(1, '\0') + "\r\n0820000000,RAFTER,TXT,Hi\r\n";
    Run(File);

    EXPECT_EQ(
        Received(*Sim),
        (std::vector<std::string>{
            "REF1|0820000000|TXT|Hello", "REF2|0820000000|DEF|MessageText=Hello",
            "REF3|0820000000|DEF|messagetext=Hi", "REF4|0820000000|def|Hello",
            "REF5|0820000000|TXT|", "REF8|0820000000||Hi", "REF10|0820000000|TXT|",
            "REF11|0820000000|TXT|", "REF12|0820000000|TXT|Hi", "REF13|840000000|TXT|Hi",
            "REF14|082000000|TXT|Hi", "REF15|+27820000000|TXT|Hi", "R3|0820000000|TXT|Hello, world",
            "R4|0820000000|TXT|\"Hello\"", "R23|0830000000|TXT|padded", "RNUL|0820000000|TXT|Hi"}));

    std::vector<std::string> Expected = {
        "Cell No.,Reference,Status",
        "0820000000,REF6,\"Invalid file format. Must have 4 columns\"",
        "0820000000,REF7,\"Message cannot be empty\"",
        "0820000000,REF9,\"Message type cannot be empty\"",
        "08200000,REF16,\"Cell no. is invalid\"",
        "082 000 0000,REF17,\"Cell no. is invalid\"",
        "Cell No.,Reference,\"Cell no. is invalid\"",
        ",R22,\"Cell no. cannot be empty\""};
    for (const auto& M : Sim->Messages())
        Expected.push_back(Submitted(M.Address, M.Reference, M.ReqID));
    EXPECT_EQ(Confirmation(), CrLf(Expected));
}

TEST_F(ReadingRows, NineDigitNumbersChangeOnlyForAListedExtension) {
    Settings.ValidSACellExtensions = "";
    Run("820000000,R1,TXT,Hi\r\n");
    Settings.ValidSACellExtensions = " 084 ; 008 ";
    Run("840000000,R2,TXT,Hi\r\n082000000,R3,TXT,Hi\r\n820000000,R4,TXT,Hi\r\n");
    EXPECT_EQ(Received(*Sim),
              (std::vector<std::string>{"R1|820000000|TXT|Hi", "R2|0840000000|TXT|Hi",
                                        "R3|0082000000|TXT|Hi", "R4|820000000|TXT|Hi"}));
}

TEST_F(ReadingRows, FaxAndEmailRowsUseTheirOwnAddressAndChecks) {
    Run("0113334444,F1,TXT,Fax body\r\n"
        "011,F2,TXT,x\r\n"
        ",F3,TXT,x\r\n"
        "820000000,F4,TXT,nine digits stay\r\n",
        "FAX");
    EXPECT_EQ(Received(*Sim), (std::vector<std::string>{"F1|0113334444|TXT|Fax body",
                                                        "F4|820000000|TXT|nine digits stay"}));
    const std::string FaxLines =
        CrLf({"Fax No.,Reference,Status", "011,F2,\"Fax no. is invalid\"",
              ",F3,\"Fax no. cannot be empty\"", Submitted("0113334444", "F1", ReqIDOf("F1")),
              Submitted("820000000", "F4", ReqIDOf("F4"))});
    EXPECT_EQ(Confirmation(), FaxLines);

    const size_t Before = Sim->Messages().size();
    Run("someone.example.com,E1,TXT,Hi\r\n"
        ",E2,TXT,Hi\r\n"
        "a@b.c,E3,TXT,Hi\r\n",
        "EMAIL");
    EXPECT_EQ(Sim->Messages().size(), Before + 1);
    EXPECT_EQ(Received(*Sim).back(), "E3|a@b.c|TXT|Hi");
    // The batch name came back: its confirmation keeps the earlier lines and gets a second
    // header.
    EXPECT_EQ(Confirmation(),
              FaxLines + CrLf({"Email Address,Reference,Status",
                               "someone.example.com,E1,\"Email Address is invalid\"",
                               ",E2,\"Email Address cannot be empty\"",
                               Submitted("a@b.c", "E3", ReqIDOf("E3"))}));
}

TEST_F(ReadingRows, PriorityIsTruncatedToSixteenSignedBits) {
    Settings.Priority = "70000";
    Run("0820000000,P1,TXT,Hi\r\n");
    Settings.Priority = "40000";
    Run("0820000000,P2,TXT,Hi\r\n");
    Settings.Priority = "-3";
    Run("0820000000,P3,TXT,Hi\r\n");
    const std::vector<TBatch> Batches = SentBatches();
    ASSERT_EQ(Batches.size(), 3u);
    EXPECT_EQ(Batches[0].Messages.at(0).Priority, 4464);
    EXPECT_EQ(Batches[1].Messages.at(0).Priority, -25536);
    EXPECT_EQ(Batches[2].Messages.at(0).Priority, -3);
}

TEST_F(ReadingRows, UnreadablePriorityRejectsEveryRowAndSendsNothing) {
    Settings.Priority = "high";
    Settings.SendConfirmation = "true";
    std::string Conversion;
    try {
        LoadBulkCSVSenderFromText(ConfigXml())->GetSettings()->GetPriority();
    } catch (const std::exception& E) {
        Conversion = E.what();
    }
    ASSERT_FALSE(Conversion.empty());
    Mail();
    Run("0820000000,R1,TXT,Hi\r\n08200000,R2,TXT,Hi\r\n0830000000,R3,TXT,Hi\r\n");

    EXPECT_TRUE(Sim->Messages().empty());
    ASSERT_TRUE(MailSink->WaitForMessages(1));
    const auto Parts = MailParts(MailSink->Messages()[0]);
    ASSERT_EQ(Parts.size(), 2u);
    EXPECT_EQ(
        Parts[1].Body,
        CrLf({"Cell No.,Reference,Status", "0820000000,R1,\"" + Conversion + "\"",
              "08200000,R2,\"Cell no. is invalid\"", "0830000000,R3,\"" + Conversion + "\""}));
    EXPECT_EQ(Lines(Parts[0].Body).at(1), "Error : No Recipients found. Processing aborted");
}

}  // namespace
}  // namespace bulktest
