#include "host/uFileValidation.h"

#include <memory>
#include <stdexcept>

#include "config/uBrovaCSVSenderConfig.h"
#include "host/dBulkSMSMain.h"
#include "platform/Files.h"
#include "support/Util.h"
#include "support/uVexoMessages.h"
#include "worker/uInputRows.h"
#include "worker/uRunSettings.h"

namespace {

// The index of the entry that fits, or -1.
int FittingEntry(const IXMLProtocolsType& Protocols, const std::string& FileName,
                 const std::string& ProtocolName) {
    const std::string Wanted = Trim(UpperCase(ProtocolName));
    // A bare name is in the working directory.
    const std::string Directory =
        DirectoryOf(FileName).empty() ? std::string(".") : DirectoryOf(FileName);
    for (int Index = 0; Index < Protocols.GetCount(); ++Index) {
        const std::shared_ptr<IXMLProtocolType> Protocol = Protocols.GetItem(Index);
        if (Wanted.empty() ? SameFile(Protocol->GetPollDirectory(), Directory)
                           : Trim(UpperCase(Protocol->GetName())) == Wanted)
            return Index;
    }
    return -1;
}

}  // namespace

TFileValidation ValidateInputFile(const std::string& ExePath, const std::string& FileName,
                                  const std::string& ProtocolName, const TDateTime& Today) {
    const std::string ConfigPath = ConfigFileName(ExePath);
    if (!FileExists(ConfigPath))
        throw std::runtime_error("The configuration " + ConfigPath + " does not exist");
    std::shared_ptr<IXMLBulkCSVSenderType> Config;
    try {
        Config = LoadBulkCSVSender(ConfigPath);
    } catch (const std::exception& E) {
        throw std::runtime_error("The configuration " + ConfigPath + " cannot be loaded (" +
                                 E.what() + ")");
    }
    const std::shared_ptr<IXMLProtocolsType> Protocols = Config->GetSettings()->GetProtocols();
    const int Index = FittingEntry(*Protocols, FileName, ProtocolName);
    if (Index < 0)
        throw std::runtime_error(ProtocolName.empty()
                                     ? "No Protocol entry has the directory of " + FileName +
                                           " as its PollDirectory"
                                     : "No Protocol entry is named " + ProtocolName);

    const std::string Name = FileNameOf(FileName);
    const TRunSettings Settings =
        ReadRunSettings(*Config, Index, UpperCase(Protocols->GetItem(Index)->GetName()),
                        Name.substr(0, Name.find('.')), ServiceStateDirectory(ExePath), Today);
    std::string Text;
    try {
        Text = ReadRegularFileText(FileName);
    } catch (const EFileError& E) {
        throw std::runtime_error("Cannot read " + FileName + ": " + E.what());
    }
    TFileValidation Result;
    TVexoMessages Messages;
    ReadInputRows(Settings, ProtocolKindOf(Trim(Settings.ProtocolName)), Text, Messages,
                  Result.RejectedLines);
    Result.Accepted = Messages.Count();
    return Result;
}
