#include "worker/uRunSettings.h"

#include <charconv>
#include <functional>

#include "support/Util.h"

namespace {

constexpr const char* kCombinedFormat = "COMBINED";

template <class T>
TRunSetting<T> Read(const std::function<T()>& Getter) {
    TRunSetting<T> Out;
    try {
        Out.Value = Getter();
    } catch (const std::exception& E) {
        Out.Error = E.what();
    } catch (...) {
        Out.Error = "Unknown error";
    }
    return Out;
}

template <class T>
T Number(const std::string& Text, const std::string& Name) {
    T Value{};
    const auto [End, Error] = std::from_chars(Text.data(), Text.data() + Text.size(), Value);
    if (Error != std::errc() || End != Text.data() + Text.size())
        throw std::runtime_error("Journal setting " + Name + " holds '" + Text + "'");
    return Value;
}

std::string Text(const TRunSetting<std::string>& S) { return S.Readable() ? S.Value : S.Error; }
std::string Text(const TRunSetting<int>& S) {
    return S.Readable() ? std::to_string(S.Value) : S.Error;
}
std::string Text(const TRunSetting<bool>& S) {
    return S.Readable() ? (S.Value ? "true" : "false") : S.Error;
}

void Take(TRunSetting<std::string>& S, const TRunSettingsField& F, const std::string&) {
    (F.Readable ? S.Value : S.Error) = F.Text;
}
void Take(TRunSetting<int>& S, const TRunSettingsField& F, const std::string& Name) {
    if (F.Readable)
        S.Value = Number<int>(F.Text, Name);
    else
        S.Error = F.Text;
}
void Take(TRunSetting<bool>& S, const TRunSettingsField& F, const std::string& Name) {
    if (!F.Readable)
        S.Error = F.Text;
    else if (F.Text == "true" || F.Text == "false")
        S.Value = F.Text == "true";
    else
        throw std::runtime_error("Journal setting " + Name + " holds '" + F.Text + "'");
}

// Every field, named once, for both directions.
template <class TVisit>
void VisitFields(TRunSettings& S, TVisit&& Visit) {
    Visit("ValidSACellExtensions", S.ValidSACellExtensions);
    Visit("Priority", S.Priority);
    Visit("Split", S.Split);
    Visit("MaxMessages", S.MaxMessages);
    Visit("Format", S.Format);
    Visit("SendConfirmation", S.SendConfirmation);
    Visit("SenderName", S.SenderName);
    Visit("SenderEmail", S.SenderEmail);
    Visit("SenderCellNo", S.SenderCellNo);
    Visit("SenderFaxNo", S.SenderFaxNo);
}

std::string DateText(const TDateTime& D) {
    return std::to_string(D.Year) + "-" + std::to_string(D.Month) + "-" + std::to_string(D.Day);
}

TDateTime DateOf(const std::string& Text) {
    TDateTime D;
    const size_t First = Text.find('-');
    const size_t Second = Text.find('-', First == std::string::npos ? First : First + 1);
    if (First == std::string::npos || Second == std::string::npos)
        throw std::runtime_error("Journal setting ProcessingDate holds '" + Text + "'");
    D.Year = Number<int>(Text.substr(0, First), "ProcessingDate");
    D.Month = Number<int>(Text.substr(First + 1, Second - First - 1), "ProcessingDate");
    D.Day = Number<int>(Text.substr(Second + 1), "ProcessingDate");
    return D;
}

}  // namespace

bool TRunSettings::Combined() const {
    return Format.Readable() && UpperCase(Trim(Format.Value)) == kCombinedFormat;
}

std::string TRunSettings::ConfirmationFileName() const {
    return (Combined() ? ExeDirectory : StatusDirectory) + "Confirmation-" + BatchName + ".CSV";
}

TRunSettings ReadRunSettings(const IXMLBulkCSVSenderType& Config, int32_t ProtocolIndex,
                             const std::string& ProtocolName, const std::string& BatchName,
                             const std::string& ExeDirectory, const TDateTime& Today) {
    TRunSettings S;
    S.ProtocolName = ProtocolName;
    S.BatchName = BatchName;
    S.ExeDirectory = AddTrailingBackslash(ExeDirectory);
    S.ProcessingDate = TDateTime{Today.Year, Today.Month, Today.Day};
    const std::shared_ptr<IXMLProtocolType> Entry =
        Config.GetSettings()->GetProtocols()->GetItem(ProtocolIndex);
    S.StatusDirectory = AddTrailingBackslash(Entry->GetStatusDirectory());
    S.ReplyDirectory = AddTrailingBackslash(Entry->GetReplyDirectory());

    const auto Settings = [&] { return Config.GetSettings(); };
    const auto Sender = [&] { return Config.GetVexo()->GetSender(); };
    S.ValidSACellExtensions =
        Read<std::string>([&] { return Settings()->GetValidSACellExtensions(); });
    S.Priority = Read<int>([&] { return Settings()->GetPriority(); });
    S.Split = Read<int>([&] { return Settings()->GetSubmissions()->GetSplit(); });
    S.MaxMessages = Read<int>([&] { return Settings()->GetSubmissions()->GetMaxMessages(); });
    S.Format = Read<std::string>([&] { return Settings()->GetFormat(); });
    S.SendConfirmation = Read<bool>([&] { return Settings()->GetMail()->GetSendConfirmation(); });
    S.SenderName = Read<std::string>([&] { return Sender()->GetName(); });
    S.SenderEmail = Read<std::string>([&] { return Sender()->GetEmailAdress(); });
    S.SenderCellNo = Read<std::string>([&] { return Sender()->GetCellNo(); });
    S.SenderFaxNo = Read<std::string>([&] { return Sender()->GetFaxNo(); });
    return S;
}

void TakeClaimedFile(TRunSettings& Settings, const std::string& Path) {
    Settings.ClaimedFile = TLockedFile::OpenRegularShareRead(Path).Identity();
}

std::vector<TRunSettingsField> RunSettingsFields(const TRunSettings& Settings) {
    std::vector<TRunSettingsField> Out = {
        {"ProtocolName", true, Settings.ProtocolName},
        {"BatchName", true, Settings.BatchName},
        {"StatusDirectory", true, Settings.StatusDirectory},
        {"ReplyDirectory", true, Settings.ReplyDirectory},
        {"ExeDirectory", true, Settings.ExeDirectory},
        {"ProcessingDate", true, DateText(Settings.ProcessingDate)},
        {"FileSize", true, std::to_string(Settings.ClaimedFile.Size)},
        {"FileModifiedNs", true, std::to_string(Settings.ClaimedFile.ModifiedNs)},
        {"FileDevice", true, std::to_string(Settings.ClaimedFile.Device)},
        {"FileInode", true, std::to_string(Settings.ClaimedFile.Inode)},
    };
    VisitFields(const_cast<TRunSettings&>(Settings), [&](const char* Name, const auto& S) {
        Out.push_back({Name, S.Readable(), Text(S)});
    });
    return Out;
}

void SetRunSettingsField(TRunSettings& Settings, const TRunSettingsField& Field) {
    const std::string& N = Field.Name;
    if (N == "ProtocolName") return void(Settings.ProtocolName = Field.Text);
    if (N == "BatchName") return void(Settings.BatchName = Field.Text);
    if (N == "StatusDirectory") return void(Settings.StatusDirectory = Field.Text);
    if (N == "ReplyDirectory") return void(Settings.ReplyDirectory = Field.Text);
    if (N == "ExeDirectory") return void(Settings.ExeDirectory = Field.Text);
    if (N == "ProcessingDate") return void(Settings.ProcessingDate = DateOf(Field.Text));
    TFileIdentity& File = Settings.ClaimedFile;
    if (N == "FileSize") return void(File.Size = Number<int64_t>(Field.Text, N));
    if (N == "FileModifiedNs") return void(File.ModifiedNs = Number<int64_t>(Field.Text, N));
    if (N == "FileDevice") return void(File.Device = Number<uint64_t>(Field.Text, N));
    if (N == "FileInode") return void(File.Inode = Number<uint64_t>(Field.Text, N));
    bool Known = false;
    VisitFields(Settings, [&](const char* Name, auto& S) {
        if (N == Name) {
            Take(S, Field, N);
            Known = true;
        }
    });
    if (!Known) throw std::runtime_error("Journal setting " + N + " is not known");
}
