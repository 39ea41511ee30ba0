// The values a file's run began with. They are taken from the configuration when the file is
// claimed and kept in its journal, so that a run resumed after a stop or a crash finishes exactly
// as it began, whatever the configuration says by then.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "config/uBrovaCSVSenderConfig.h"
#include "platform/DateTime.h"
#include "platform/Files.h"

// A setting that could not be read when the run began; the same every time the run reads it.
class ESettingError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A setting as it was read: its value, or the reason it could not be read, which reading it
// raises again at the very step that read it first.
template <class T>
struct TRunSetting {
    T Value{};
    std::string Error;  // not empty: the setting could not be read

    bool Readable() const { return Error.empty(); }
    T Get() const {
        if (!Error.empty()) throw ESettingError(Error);
        return Value;
    }
};

struct TRunSettings {
    // Of the claim.
    std::string ProtocolName;  // the entry's name in upper case, not trimmed
    std::string BatchName;
    std::string StatusDirectory;  // with the trailing delimiter, as the entry gives it
    std::string ReplyDirectory;
    std::string ExeDirectory;  // holds the confirmation file in the "COMBINED" layout
    TDateTime ProcessingDate;  // the day of the run, at 00:00
    TFileIdentity ClaimedFile;  // the file as it was opened at the claim (Device 0: unknown)

    // Of the configuration.
    TRunSetting<std::string> ValidSACellExtensions;
    TRunSetting<int> Priority;
    TRunSetting<int> Split;
    TRunSetting<int> MaxMessages;
    TRunSetting<std::string> Format;
    TRunSetting<bool> SendConfirmation;
    TRunSetting<std::string> SenderName;
    TRunSetting<std::string> SenderEmail;
    TRunSetting<std::string> SenderCellNo;
    TRunSetting<std::string> SenderFaxNo;

    // True when the files of the run follow the "COMBINED" layout; a Format that cannot be read
    // chooses the separate files.
    bool Combined() const;
    // Where the confirmation file goes: the status directory, or the state directory in the
    // "COMBINED" layout, + "Confirmation-" + the batch name + ".CSV".
    std::string ConfirmationFileName() const;
};

// Reads what a run of the file claimed from protocol entry ProtocolIndex will use. The entry
// itself must be readable: throws when its directories cannot be had.
TRunSettings ReadRunSettings(const IXMLBulkCSVSenderType& Config, int32_t ProtocolIndex,
                             const std::string& ProtocolName, const std::string& BatchName,
                             const std::string& ExeDirectory, const TDateTime& Today);

// Opens Path as a file to claim (never through a link) and keeps which file it is in
// Settings.ClaimedFile. Throws EFileError.
void TakeClaimedFile(TRunSettings& Settings, const std::string& Path);

// The settings as named texts, for the journal: Readable false carries the reason in Text.
struct TRunSettingsField {
    std::string Name;
    bool Readable = true;
    std::string Text;
};
std::vector<TRunSettingsField> RunSettingsFields(const TRunSettings& Settings);
// The inverse, one field at a time; throws std::runtime_error on a name or value it cannot take.
void SetRunSettingsField(TRunSettings& Settings, const TRunSettingsField& Field);
