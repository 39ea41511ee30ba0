// Build step of the package: writes the service unit that /INSTALL would write for the
// executable at the given path, so that the packaged unit and the installed one never differ.
#include <fstream>
#include <iostream>

#include "host/BulkSMSService.h"
#include "platform/ServiceHost.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: brova-unit-file EXECUTABLE-PATH OUTPUT-FILE\n";
        return 2;
    }
    std::ofstream Out(argv[2], std::ios::binary | std::ios::trunc);
    Out << ServiceUnitText(
        {kServiceName, kServiceDisplayName, argv[1], kServiceUser, kServiceStateDirectory});
    Out.close();
    if (!Out) {
        std::cerr << "brova-unit-file: cannot write " << argv[2] << "\n";
        return 1;
    }
    return 0;
}
