#include "host/uConfigCheck.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <type_traits>

#include "host/dBulkSMSMain.h"
#include "platform/DateTime.h"
#include "platform/Files.h"
#include "platform/ServiceHost.h"
#include "support/Util.h"
#include "worker/uServiceFileNames.h"
#include "worker/uSmtpMail.h"

namespace {

constexpr const char* kNoStart = "the service does not start";
constexpr const char* kWindowError =
    "\"Error Converting Operational Times\" is logged at every poll, which then polls at any hour";
constexpr const char* kNoLogon = "every logon fails and files wait under their own names";
constexpr const char* kMailFails = "every result and error mail fails";
constexpr const char* kTwoOrMore = "every file of two or more messages fails";
const std::string kWorkingDirectory =
    "the service's working directory (" + ServiceWorkingDirectoryText() + ")";
// Any date does: only the times of day are compared.
constexpr const char* kSomeDay = "2000/01/01 ";
constexpr const char* kClaimedMask = "*.Busy";

// A configuration value as a finding shows it: quoted, control characters escaped, so that a
// finding stays one line.
std::string Shown(const std::string& Text) {
    std::string Out = "\"";
    for (const char C : Text) {
        const auto Code = static_cast<unsigned char>(C);
        if (Code < 0x20 || Code == 0x7F) {
            char Buffer[8];
            std::snprintf(Buffer, sizeof Buffer, "\\x%02X", Code);
            Out += Buffer;
        } else {
            Out += C;
        }
    }
    return Out + "\"";
}

// Why an integer or boolean attribute could not be read.
std::string Unreadable(const IXMLNode& Node, const char* Name, bool Boolean) {
    if (!Node.HasAttribute(Name)) return "is absent";
    const std::string Text = Node.GetAttribute(Name);
    if (Trim(Text).empty()) return "is empty";
    return Shown(Text) + " is not " + (Boolean ? "true or false" : "a whole number");
}

class TFindings {
  public:
    void Add(const std::string& What, const std::string& Problem, const std::string& Consequence) {
        Lines.push_back(What + " " + Problem + ": " + Consequence);
    }

    // Reads a value through the getter the service uses; a failure is a finding.
    template <class T>
    std::optional<T> Read(const IXMLNode& Node, const std::string& Where, const char* Name,
                          const std::function<T()>& Getter, const std::string& Consequence) {
        try {
            return Getter();
        } catch (const std::exception&) {
            Add(Where + " " + Name, Unreadable(Node, Name, std::is_same_v<T, bool>), Consequence);
            return std::nullopt;
        }
    }

    // A directory the service lists and writes into; an empty one is the caller's to judge.
    // In a poll directory, dropped and claimed files are only read; the rest is also written.
    void Directory(const std::string& What, const std::string& Path, const std::string& Missing,
                   const std::string& Unusable, bool Poll = false) {
        if (Trim(Path).empty()) return;
        if (!IsAbsolutePath(Path))
            Add(What + " " + Shown(Path), "is not an absolute path",
                "it is taken from " + kWorkingDirectory);
        else if (!DirectoryExists(Path))
            Add(What + " " + Path, "does not exist", Missing);
        else if (!CanUseDirectory(Path, true))
            Add(What + " " + Path, "cannot be read and written", Unusable);
        else
            FilesOutOfReach(What, Path, Poll);
    }

    // Each file in Dir this user cannot use as the service will (after a run as root, say),
    // once per directory however many entries name it.
    void FilesOutOfReach(const std::string& What, const std::string& Dir, bool Poll) {
        const std::string Slashed = Dir.back() == '/' ? Dir : Dir + "/";
        if (!Scanned.insert(Slashed).second) return;
        std::vector<std::string> Names = FindFiles(Slashed, "*");
        std::sort(Names.begin(), Names.end());
        for (const std::string& Name : Names) {
            const std::string Path = Slashed + Name;
            if (EntryKindOf(Path) != TEntryKind::RegularFile) continue;
            const bool OnlyRead =
                Poll && (!IsServiceFileName(Name) || MatchesMask(Name, kClaimedMask));
            if (CanAccessFile(Path, !OnlyRead)) continue;
            Add(What + " " + Dir,
                "holds " + Shown(Name) + ", which this user cannot " +
                    (OnlyRead ? "read" : "read and write"),
                "the service cannot go on with it until it is handed over to the service's user");
        }
    }

    std::vector<std::string> Lines;
    std::set<std::string> Scanned;
};

void CheckOperationalTime(TFindings& F, const IXMLOperationalTimeType& Window) {
    const auto Enabled = F.Read<bool>(
        Window, "OperationalTime", "Enabled", [&] { return Window.GetEnabled(); }, kWindowError);
    if (!Enabled.value_or(false)) return;
    TDateTime Start, End;
    const bool StartRead = TryStrToDateTime(kSomeDay + Window.GetStartTime(), Start);
    const bool EndRead = TryStrToDateTime(kSomeDay + Window.GetEndTime(), End);
    if (!StartRead)
        F.Add("OperationalTime StartTime",
              Window.GetStartTime().empty() ? "is absent"
                                            : Shown(Window.GetStartTime()) + " is not a time",
              kWindowError);
    if (!EndRead)
        F.Add("OperationalTime EndTime",
              Window.GetEndTime().empty() ? "is absent"
                                          : Shown(Window.GetEndTime()) + " is not a time",
              kWindowError);
    if (!StartRead || !EndRead) return;
    if (End < Start)
        F.Add("OperationalTime EndTime " + Window.GetEndTime(),
              "is before StartTime " + Window.GetStartTime(),
              "the window never opens and the directories are never polled");
    else if (End == Start)
        F.Add("OperationalTime EndTime " + Window.GetEndTime(),
              "is StartTime " + Window.GetStartTime(),
              "the window lasts an instant and the directories are almost never polled");
}

// A PEM bundle to trust: it must be there and readable by this user.
void CAFile(TFindings& F, const std::string& What, const std::string& Path,
            const std::string& Consequence) {
    if (!Path.empty() && !CanAccessFile(Path, false))
        F.Add(What + " " + Path, "cannot be read", Consequence);
}

void CheckGateway(TFindings& F, const IXMLVexoType& Vexo) {
    const std::string Url = Trim(Vexo.GetURL());
    if (!Url.empty()) {
        const std::string Lower = UpperCase(Url.substr(0, 8));
        if (Lower.rfind("HTTP://", 0) != 0 && Lower.rfind("HTTPS://", 0) != 0)
            F.Add("Vexo URL " + Shown(Vexo.GetURL()), "is not an http or https address", kNoLogon);
    }
    if (Vexo.GetUsername().empty()) F.Add("Vexo Username", "is empty", kNoLogon);
    if (Vexo.GetPassword().empty()) F.Add("Vexo Password", "is empty", kNoLogon);
    if (UpperCase(Url.substr(0, 7)) == "HTTP://" && !IsLoopbackHost(UrlHost(Url)))
        F.Add("Vexo URL " + Url, "is plain http to another machine",
              "the gateway password travels in clear at every Login (use https)");
    CAFile(F, "Vexo CAFile", Vexo.GetCAFile(), kNoLogon);
}

void CheckMail(TFindings& F, const IXMLMailType& Mail, const IXMLVexoType& Vexo) {
    const auto SendConfirmation = F.Read<bool>(
        Mail, "Mail", "SendConfirmation", [&] { return Mail.GetSendConfirmation(); },
        "every file ends as a failure after its messages were sent, and stays as .Busy with "
        "its log");
    // Without mail nothing else of it is read.
    if (!SendConfirmation.value_or(false)) return;
    if (Trim(Mail.GetHost()).empty()) F.Add("Mail Host", "is empty", kMailFails);
    const auto Port = F.Read<int>(
        Mail, "Mail", "Port", [&] { return Mail.GetPort(); }, kMailFails);
    if (Port && (*Port < 1 || *Port > 65535))
        F.Add("Mail Port " + std::to_string(*Port), "is not a port number", kMailFails);
    if (Trim(Vexo.GetSender()->GetEmailAdress()).empty())
        F.Add("Vexo Sender EmailAdress", "is empty", kMailFails);
    TMailSecurity Security = TMailSecurity::None;
    if (!ParseMailSecurity(Mail.GetSecurity(), Security))
        F.Add("Mail Security " + Shown(Mail.GetSecurity()), "is not none, starttls or tls",
              kMailFails);
    if (!Mail.GetUsername().empty() && Mail.GetPassword().empty())
        F.Add("Mail Username", "is set without a Password", kMailFails);
    if (!Mail.GetUsername().empty() && Security == TMailSecurity::None &&
        !IsLoopbackHost(Mail.GetHost()))
        F.Add("Mail Username", "is set for plain SMTP to " + Trim(Mail.GetHost()),
              "every mail is refused before AUTH, so that the password never travels in clear "
              "(Security starttls or tls)");
    CAFile(F, "Mail CAFile", Mail.GetCAFile(), kMailFails);
}

void CheckProtocols(TFindings& F, const IXMLProtocolsType& Protocols) {
    for (int Index = 0; Index < Protocols.GetCount(); ++Index) {
        const std::shared_ptr<IXMLProtocolType> Entry = Protocols.GetItem(Index);
        const std::string Name = Entry->GetName();
        const std::string Where = "Protocol " + std::to_string(Index + 1) + " (" + Trim(Name) + ")";
        const auto Enabled = F.Read<bool>(
            *Entry, Where, "Enabled", [&] { return Entry->GetEnabled(); },
            "every poll stops at this entry with \"Error polling\", and no later entry is "
            "polled");
        if (Enabled.value_or(false)) {
            const std::string Kind = Trim(UpperCase(Name));
            if (Kind != "SMS" && Kind != "FAX" && Kind != "EMAIL")
                F.Add(Where + " Name", "is not SMS, FAX or EMAIL",
                      "its files are sent without addresses");
            const std::string Poll = Entry->GetPollDirectory();
            if (Trim(Poll).empty())
                F.Add(Where + " PollDirectory", "is empty", "no file is ever taken from it");
            F.Directory(Where + " PollDirectory", Poll, "no file is taken from it",
                        "its files cannot be claimed", true);
            if (!Trim(Poll).empty() && IsAbsolutePath(Poll) && DirectoryExists(Poll) &&
                CanUseDirectory(Poll, true) && !CanRenameNoReplaceIn(Poll))
                F.Add(Where + " PollDirectory " + Poll,
                      "lies on a file system that can neither rename without replacing nor link",
                      "no file can be claimed from it safely, so none is");
            if (Trim(Entry->GetPollFileType()).empty())
                F.Add(Where + " PollFileType", "is empty", "no file is ever taken");
        }
        // Disabled entries still place statuses and replies.
        const std::string Status = Entry->GetStatusDirectory();
        if (Trim(Status).empty())
            F.Add(Where + " StatusDirectory", "is empty",
                  "confirmation and status files go to " + kWorkingDirectory);
        F.Directory(Where + " StatusDirectory", Status,
                    "statuses cannot be written there until it is created",
                    "confirmation and status files cannot be written there");
        const std::string Reply = Entry->GetReplyDirectory();
        if (Trim(Reply).empty())
            F.Add(Where + " ReplyDirectory", "is empty",
                  std::string("reply files go to ") + kWorkingDirectory);
        F.Directory(Where + " ReplyDirectory", Reply,
                    "replies cannot be written there until it is created",
                    "reply files cannot be written there");
    }
}

void CheckSubmissions(TFindings& F, const IXMLSubmissionsType& Submissions) {
    const auto Split = F.Read<int>(
        Submissions, "Submissions", "Split", [&] { return Submissions.GetSplit(); }, kTwoOrMore);
    if (Split != 1) return;
    const auto MaxMessages = F.Read<int>(
        Submissions, "Submissions", "MaxMessages", [&] { return Submissions.GetMaxMessages(); },
        kTwoOrMore);
    if (MaxMessages && *MaxMessages < 1)
        F.Add("Submissions MaxMessages " + std::to_string(*MaxMessages), "is below 1 with Split 1",
              kTwoOrMore);
}

void CheckFilesInFlight(TFindings& F, const IXMLSubmissionsType& Submissions) {
    const char* kNoFile = "no file is ever claimed";
    const auto Max = F.Read<int>(
        Submissions, "Submissions", "MaxFilesInFlight",
        [&] { return Submissions.GetMaxFilesInFlight(); }, kNoStart);
    if (Max && *Max < 1)
        F.Add("Submissions MaxFilesInFlight " + std::to_string(*Max), "is below 1", kNoFile);
}

// A directory as the service reaches it, for comparing: links the operator made are followed,
// "." and ".." and doubled slashes go. A path that is not there yet is compared as written.
std::filesystem::path ComparablePath(const std::string& Path) {
    std::error_code Ignored;
    std::filesystem::path Result = std::filesystem::weakly_canonical(Path, Ignored);
    if (Result.empty()) Result = std::filesystem::path(Path).lexically_normal();
    // "/a/b/" and "/a/b" are one directory.
    if (!Result.has_filename() && Result.has_parent_path() && Result != Result.root_path())
        Result = Result.parent_path();
    return Result;
}

// True when Inner is Outer or lies somewhere below it.
bool IsWithin(const std::filesystem::path& Inner, const std::filesystem::path& Outer) {
    auto I = Inner.begin();
    for (auto O = Outer.begin(); O != Outer.end(); ++O, ++I)
        if (I == Inner.end() || *I != *O) return false;
    return true;
}

}  // namespace

std::vector<std::string> CheckConfiguration(const IXMLBulkCSVSenderType& Config,
                                            const std::string& StateDirectory) {
    TFindings F;
    if (!StateDirectory.empty() && !CanUseDirectory(StateDirectory, true))
        F.Add("The state directory " + StateDirectory, "cannot be written",
              "the process log and Unwritten- files cannot be kept");
    else if (!StateDirectory.empty())
        F.FilesOutOfReach("The state directory", StateDirectory, false);
    CheckOperationalTime(F, *Config.GetOperationalTime());
    const std::shared_ptr<IXMLVexoType> Vexo = Config.GetVexo();
    CheckGateway(F, *Vexo);

    const std::shared_ptr<IXMLSettingsType> Settings = Config.GetSettings();
    const auto PollInterval = F.Read<int>(
        *Settings, "Settings", "PollInterval", [&] { return Settings->GetPollInterval(); },
        kNoStart);
    if (PollInterval && *PollInterval < 0)
        F.Add("Settings PollInterval " + std::to_string(*PollInterval), "is negative",
              "the directories are polled only once, at start");
    F.Read<int>(
        *Settings, "Settings", "StatusInterval", [&] { return Settings->GetStatusInterval(); },
        kNoStart);
    F.Read<int>(
        *Settings, "Settings", "ReplyInterval", [&] { return Settings->GetReplyInterval(); },
        kNoStart);
    const auto Priority = F.Read<int>(
        *Settings, "Settings", "Priority", [&] { return Settings->GetPriority(); },
        "every row will be rejected");
    if (Priority && (*Priority < -32768 || *Priority > 32767))
        F.Add("Settings Priority " + std::to_string(*Priority), "does not fit 16 bits",
              "messages go with priority " + std::to_string(static_cast<int16_t>(*Priority)));

    CheckMail(F, *Settings->GetMail(), *Vexo);
    CheckProtocols(F, *Settings->GetProtocols());
    CheckSubmissions(F, *Settings->GetSubmissions());
    CheckFilesInFlight(F, *Settings->GetSubmissions());
    for (const std::string& Overlap : OwnOutputOverlaps(Config, StateDirectory))
        F.Lines.push_back(Overlap);
    return F.Lines;
}

std::vector<std::string> OwnOutputOverlaps(const IXMLBulkCSVSenderType& Config,
                                           const std::string& StateDirectory) {
    struct TOutput {
        std::string What;
        std::filesystem::path Path;
        // The service writes only at the top of its state directory, and a tree of its own
        // (the state directory beside the executable) is where folders for data are made.
        bool DeeperPollIsFine = false;
    };
    std::vector<TOutput> Outputs;
    const std::shared_ptr<IXMLProtocolsType> Protocols = Config.GetSettings()->GetProtocols();
    const auto Where = [&](int Index) {
        return "Protocol " + std::to_string(Index + 1) + " (" +
               Trim(Protocols->GetItem(Index)->GetName()) + ")";
    };
    if (!Trim(StateDirectory).empty())
        Outputs.push_back({"the state directory", ComparablePath(StateDirectory), true});
    // Disabled entries still place statuses and replies.
    for (int Index = 0; Index < Protocols->GetCount(); ++Index) {
        const std::shared_ptr<IXMLProtocolType> Entry = Protocols->GetItem(Index);
        for (const auto& [Name, Path] : {std::pair<std::string, std::string>{
                                             "StatusDirectory", Entry->GetStatusDirectory()},
                                         {"ReplyDirectory", Entry->GetReplyDirectory()}})
            if (!Trim(Path).empty())
                Outputs.push_back({"the " + Name + " of " + Where(Index), ComparablePath(Path)});
    }
    TFindings F;
    for (int Index = 0; Index < Protocols->GetCount(); ++Index) {
        const std::shared_ptr<IXMLProtocolType> Entry = Protocols->GetItem(Index);
        bool Enabled = false;
        try {
            Enabled = Entry->GetEnabled();
        } catch (const std::exception&) {
        }
        const std::string Poll = Entry->GetPollDirectory();
        if (!Enabled || Trim(Poll).empty()) continue;
        const std::filesystem::path PollPath = ComparablePath(Poll);
        for (const TOutput& Output : Outputs) {
            const char* Relation = PollPath == Output.Path           ? "is "
                                   : IsWithin(PollPath, Output.Path) && !Output.DeeperPollIsFine
                                       ? "lies inside "
                                   : IsWithin(Output.Path, PollPath) ? "contains "
                                                                     : nullptr;
            if (Relation)
                F.Add(Where(Index) + " PollDirectory " + Poll, Relation + Output.What,
                      "the service would take its own output for files to send, so it does not "
                      "start");
        }
    }
    return F.Lines;
}

std::vector<std::string> CheckConfigurationFile(const std::string& ExePath) {
    const std::string Path = ConfigFileName(ExePath);
    if (!FileExists(Path)) return {"The configuration " + Path + " does not exist: " + kNoStart};
    try {
        return CheckConfiguration(*LoadBulkCSVSender(Path), ServiceStateDirectory(ExePath));
    } catch (const std::exception& E) {
        return {"The configuration " + Path + " cannot be loaded (" + E.what() + "): " + kNoStart};
    }
}
