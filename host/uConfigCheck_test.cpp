#include "host/uConfigCheck.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/ServiceHost.h"
#include "tests/TestSupport.h"

namespace {

using testsupport::MakeDirs;
using testsupport::TempDir;

class ConfigCheck : public ::testing::Test {
  protected:
    ConfigCheck() {
        for (const char* Sub : {"in", "status", "reply"}) MakeDirs(Dir / Sub);
    }
    // A sound configuration with one text replaced.
    std::vector<std::string> FindingsWith(const std::string& From, const std::string& To) {
        std::string Xml =
            "<BulkCSVSender>"
            "<OperationalTime Enabled=\"false\" StartTime=\"07:00\" EndTime=\"19:00\"/>"
            "<Vexo URL=\"http://127.0.0.1:8080/x\" Username=\"u\" Password=\"p\">"
            "<Sender EmailAdress=\"ops@example.com\"/></Vexo>"
            "<Settings PollInterval=\"30000\" StatusInterval=\"0\" ReplyInterval=\"0\" "
            "Priority=\"1\">"
            "<Mail Host=\"localhost\" Port=\"25\" SendConfirmation=\"false\"/>"
            "<Protocols><Protocol Name=\"SMS\" Enabled=\"true\" PollDirectory=\"" +
            Dir / "in" + "\" PollFileType=\"*.csv\" StatusDirectory=\"" + Dir / "status" +
            "\" ReplyDirectory=\"" + Dir / "reply" +
            "\"/></Protocols>"
            "<Submissions Split=\"1\" MaxMessages=\"500\"/></Settings></BulkCSVSender>";
        const size_t At = Xml.find(From);
        EXPECT_NE(At, std::string::npos) << From;
        if (At != std::string::npos) Xml.replace(At, From.size(), To);
        return CheckConfiguration(*LoadBulkCSVSenderFromText(Xml), Dir.Path() + "/");
    }
    TempDir Dir;
};

TEST_F(ConfigCheck, EachValueThatWouldFailIsOneLineWithItsConsequence) {
    EXPECT_EQ(FindingsWith("", ""), std::vector<std::string>{});
    const std::string Window =
        "\"Error Converting Operational Times\" is logged at every poll, which then polls at "
        "any hour";
    const std::string NoLogon = "every logon fails and files wait under their own names";
    const std::string Mail = "every result and error mail fails";
    const std::string TwoOrMore = "every file of two or more messages fails";
    const std::string Entry = "Protocol 1 (SMS) ";
    // "/ under systemd" on Linux.
    const std::string WorkingDirectory =
        "service's working directory (" + ServiceWorkingDirectoryText() + ")";
    const std::vector<std::pair<std::pair<std::string, std::string>, std::vector<std::string>>>
        Cases = {
            {{"Enabled=\"false\" ", "Enabled=\"yes\" "},
             {"OperationalTime Enabled \"yes\" is not true or false: " + Window}},
            {{"Enabled=\"false\" StartTime=\"07:00\" EndTime=\"19:00\"",
              "Enabled=\"true\" StartTime=\"07:00\" EndTime=\"06:59\""},
             {"OperationalTime EndTime 06:59 is before StartTime 07:00: the window never opens "
              "and the directories are never polled"}},
            {{"Enabled=\"false\" StartTime=\"07:00\" EndTime=\"19:00\"",
              "Enabled=\"true\" StartTime=\"7h\""},
             {"OperationalTime StartTime \"7h\" is not a time: " + Window,
              "OperationalTime EndTime is absent: " + Window}},
            {{"http://127.0.0.1:8080/x", "ftp://host/x"},
             {"Vexo URL \"ftp://host/x\" is not an http or https address: " + NoLogon}},
            {{"Username=\"u\"", "Username=\"\""}, {"Vexo Username is empty: " + NoLogon}},
            // Loopback in any spelling may go plain; another host and a bundle not there may not.
            {{"http://127.0.0.1:8080/x", "http://[::1]:8080/x"}, {}},
            {{"http://127.0.0.1:8080/x\"", "http://gw.example:8080/x\" CAFile=\"/no/ca.pem\""},
             {"Vexo URL http://gw.example:8080/x is plain http to another machine: the gateway "
              "password travels in clear at every Login (use https)",
              "Vexo CAFile /no/ca.pem cannot be read: " + NoLogon}},
            {{"Host=\"localhost\" Port=\"25\" SendConfirmation=\"false\"",
              "Host=\"relay.example\" Port=\"25\" SendConfirmation=\"true\" Security=\"ssl\" "
              "Username=\"m\" CAFile=\"/no/ca.pem\""},
             {"Mail Security \"ssl\" is not none, starttls or tls: " + Mail,
              "Mail Username is set without a Password: " + Mail,
              "Mail Username is set for plain SMTP to relay.example: every mail is refused before "
              "AUTH, so that the password never travels in clear (Security starttls or tls)",
              "Mail CAFile /no/ca.pem cannot be read: " + Mail}},
            {{"Host=\"localhost\" Port=\"25\" SendConfirmation=\"false\"",
              "Host=\"relay.example\" Port=\"587\" SendConfirmation=\"true\" "
              "Security=\"STARTTLS\" Username=\"m\" Password=\"s\""},
             {}},
            {{"PollInterval=\"30000\"", ""},
             {"Settings PollInterval is absent: the service does not start"}},
            {{"PollInterval=\"30000\"", "PollInterval=\"-1\""},
             {"Settings PollInterval -1 is negative: the directories are polled only once, at "
              "start"}},
            {{"StatusInterval=\"0\"", "StatusInterval=\" \""},
             {"Settings StatusInterval is empty: the service does not start"}},
            {{"Priority=\"1\"", "Priority=\"high\""},
             {"Settings Priority \"high\" is not a whole number: every row will be rejected"}},
            {{"Priority=\"1\"", "Priority=\"70000\""},
             {"Settings Priority 70000 does not fit 16 bits: messages go with priority 4464"}},
            {{"SendConfirmation=\"false\"", ""},
             {"Mail SendConfirmation is absent: every file ends as a failure after its messages "
              "were sent, and stays as .Busy with its log"}},
            {{"Host=\"localhost\" Port=\"25\" SendConfirmation=\"false\"",
              "Host=\"\" Port=\"99999\" SendConfirmation=\"true\""},
             {"Mail Host is empty: " + Mail, "Mail Port 99999 is not a port number: " + Mail}},
            {{"Port=\"25\" SendConfirmation=\"false\"", "SendConfirmation=\"1\""},
             {"Mail Port is absent: " + Mail}},
            {{"Name=\"SMS\" Enabled=\"true\"", "Name=\"SMS\""},
             {Entry + "Enabled is absent: every poll stops at this entry with \"Error "
                      "polling\", and no later entry is polled"}},
            {{"Name=\"SMS\"", "Name=\"TEXT\""},
             {"Protocol 1 (TEXT) Name is not SMS, FAX or EMAIL: its files are sent without "
              "addresses"}},
            {{Dir / "in", Dir / "gone"},
             {Entry + "PollDirectory " + Dir / "gone" +
              " does not exist: no file is taken from it"}},
            {{"PollDirectory=\"" + Dir / "in", "PollDirectory=\"in"},
             {Entry + "PollDirectory \"in\" is not an absolute path: it is taken from the " +
              WorkingDirectory}},
            {{"PollFileType=\"*.csv\"", "PollFileType=\"\""},
             {Entry + "PollFileType is empty: no file is ever taken"}},
            {{"StatusDirectory=\"" + Dir / "status", "StatusDirectory=\""},
             {Entry + "StatusDirectory is empty: confirmation and status files go to the " +
              WorkingDirectory}},
            {{Dir / "reply", Dir / "gone"},
             {Entry + "ReplyDirectory " + Dir / "gone" +
              " does not exist: replies cannot be written there until it is created"}},
            {{"Split=\"1\" ", ""}, {"Submissions Split is absent: " + TwoOrMore}},
            {{"MaxMessages=\"500\"", "MaxMessages=\"0\""},
             {"Submissions MaxMessages 0 is below 1 with Split 1: " + TwoOrMore}},
            // Only Split 1 reads MaxMessages.
            {{"Split=\"1\" MaxMessages=\"500\"", "Split=\"0\""}, {}},
            {{"MaxMessages=\"500\"", "MaxMessages=\"500\" MaxFilesInFlight=\"0\""},
             {"Submissions MaxFilesInFlight 0 is below 1: no file is ever claimed"}},
            {{"MaxMessages=\"500\"", "MaxMessages=\"500\" MaxFilesInFlight=\"many\""},
             {"Submissions MaxFilesInFlight \"many\" is not a whole number: the service does "
              "not start"}},
            // A poll directory inside another entry's reply directory.
            {{"PollDirectory=\"" + Dir / "in", "PollDirectory=\"" + Dir / "reply/in"},
             {Entry + "PollDirectory " + Dir / "reply/in" +
                  " does not exist: no file is taken "
                  "from it",
              Entry + "PollDirectory " + Dir / "reply/in" + " lies inside the ReplyDirectory of " +
                  Entry.substr(0, Entry.size() - 1) +
                  ": the service would take its own output for files to send, so it does not "
                  "start"}},
        };
    for (const auto& [Change, Expected] : Cases)
        EXPECT_EQ(FindingsWith(Change.first, Change.second), Expected) << Change.second;
}

}  // namespace
