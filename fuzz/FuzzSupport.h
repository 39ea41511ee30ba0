// Checks shared by the fuzz targets. A broken rule prints what broke and aborts, which both the
// fuzzing engine and the replay driver report as a failure, keeping the input that caused it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <typeinfo>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size);

[[noreturn]] inline void FuzzFail(const char* File, int Line, const std::string& What) {
    std::fprintf(stderr, "%s:%d: fuzz check failed: %s\n", File, Line, What.c_str());
    std::fflush(stderr);
    std::abort();
}

// Call inside a catch handler: reports the exception being handled as one that must not escape.
[[noreturn]] inline void FuzzFailOnCurrentException(const char* File, int Line) {
    try {
        throw;
    } catch (const std::exception& E) {
        FuzzFail(File, Line,
                 std::string("unexpected exception ") + typeid(E).name() + ": " + E.what());
    } catch (...) {
        FuzzFail(File, Line, "unexpected exception of a type not derived from std::exception");
    }
}

#define FUZZ_CHECK(Cond, What)                                                          \
    do {                                                                                \
        if (!(Cond)) FuzzFail(__FILE__, __LINE__, std::string(#Cond) + " - " + (What)); \
    } while (0)

#define FUZZ_UNEXPECTED_EXCEPTION() FuzzFailOnCurrentException(__FILE__, __LINE__)

// Bytes shown in a failure message: printable ASCII as is, everything else as \xNN.
inline std::string FuzzQuote(const std::string& Text) {
    std::string Out = "\"";
    for (unsigned char C : Text) {
        if (C >= 0x20 && C < 0x7F && C != '"' && C != '\\') {
            Out += static_cast<char>(C);
        } else {
            char Buf[8];
            std::snprintf(Buf, sizeof Buf, "\\x%02X", C);
            Out += Buf;
        }
    }
    return Out + "\"";
}
