#include "worker/uServiceFileNames.h"

#include "support/Util.h"

bool IsServiceFileName(const std::string& Name) {
    if (Name.empty() || Name[0] == '.') return true;
    const std::string Upper = UpperCase(Name);
    for (const char* Prefix : {"CONFIRMATION-", "UNWRITTEN-"})
        if (Upper.rfind(Prefix, 0) == 0) return true;
    for (const std::string Suffix : {".LOCK", ".JOURNAL", ".LOG", ".BUSY"})
        if (Upper.size() >= Suffix.size() &&
            Upper.compare(Upper.size() - Suffix.size(), Suffix.size(), Suffix) == 0)
            return true;
    return false;
}
