// Runs a fuzz target without a fuzzing engine, for ctest and the g++ builds: first every seed
// file of a corpus folder, then a fixed number of inputs made from the seeds by pseudo-random
// mutations from a fixed seed, so every run tries the same inputs on every machine.
//
//   fuzz_NAME CORPUS_DIR [MUTATIONS]   the seeds, then MUTATIONS mutated inputs (default 20000)
//   fuzz_NAME FILE...                  replays the named files only
//
// When an input fails (a check aborts, a crash, a sanitizer report), the input is written to
// "<target>-failure.bin" in the working directory and its origin is printed.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/common_interface_defs.h>
#define BROVA_FUZZ_DEATH_CALLBACK 1
#endif

namespace {

constexpr uint64_t kRandomSeed = 0x5EED0F0B7A5C0DE5ULL;
constexpr long kDefaultMutations = 20000;
// Mutants grow no larger than this; a larger one starts again from a seed.
constexpr size_t kMaxMutantBytes = 4096;
constexpr int kMaxStackedMutations = 4;

// Fragments that the parsers under test treat specially; inserting them whole reaches deeper
// than single bytes would.
const char* const kTokens[] = {
    "\"",
    ",",
    ";",
    "\"\"",
    "\r\n",
    "\r",
    "\n",
    "\t",
    " ",
    "<",
    ">",
    "/>",
    "</",
    "=\"",
    "&amp;",
    "&lt;",
    "&#",
    "&#0;",
    "&#x1;",
    "&#65;",
    "&#xFFFF;",
    "<![CDATA[",
    "]]>",
    "]]><![CDATA[>",
    "<!--",
    "-->",
    "<?xml version=\"1.0\"?>",
    "<!DOCTYPE a [<!ENTITY e \"x\">]>",
    "&e;",
    "xmlns=\"http://vexo.gateway\"",
    "xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\"",
    "soap:",
    "Envelope",
    "Body",
    "Fault",
    "faultstring",
    "Result",
    "MsgStat",
    "MsgIdent",
    "ReplyDet",
    "RqstIdent",
    "MessageRequest",
    "Recipient",
    "Protocol",
    "-",
    "+",
    "0",
    "9223372036854775807",
    "-9223372036854775808",
    "2147483648",
    "true",
    "false",
    "\xC3\xA9",
    "\xFF\xFE",
    "\xEF\xBB\xBF",
    "",  // stands for a NUL byte
};

// splitmix64: small, and the same sequence everywhere.
struct TRandom {
    uint64_t State;
    uint64_t Next() {
        uint64_t Z = (State += 0x9E3779B97F4A7C15ULL);
        Z = (Z ^ (Z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        Z = (Z ^ (Z >> 27)) * 0x94D049BB133111EBULL;
        return Z ^ (Z >> 31);
    }
    // 0 .. N-1; N must be positive.
    size_t Below(size_t N) { return static_cast<size_t>(Next() % N); }
};

std::string ReadWholeFile(const std::filesystem::path& Path) {
    std::ifstream In(Path, std::ios::binary);
    if (!In) {
        std::fprintf(stderr, "cannot read %s\n", Path.c_str());
        std::exit(2);
    }
    return std::string(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
}

void Mutate(std::string& Input, const std::vector<std::string>& Seeds, TRandom& R) {
    static const char kSpecial[] = "\",;<>&/=[]! \t\r\n\0\x7F\x80\xFF";
    const size_t Op = R.Below(9);
    const size_t Size = Input.size();
    switch (Op) {
        case 0:  // replace a byte
            if (Size) Input[R.Below(Size)] = static_cast<char>(R.Below(256));
            break;
        case 1:  // flip a bit
            if (Size) Input[R.Below(Size)] ^= static_cast<char>(1u << R.Below(8));
            break;
        case 2:  // insert a byte, often one the parsers care about
            Input.insert(Input.begin() + static_cast<ptrdiff_t>(R.Below(Size + 1)),
                         R.Below(2) ? kSpecial[R.Below(sizeof kSpecial - 1)]
                                    : static_cast<char>(R.Below(256)));
            break;
        case 3: {  // insert a token
            const char* Token = kTokens[R.Below(std::size(kTokens))];
            const size_t Length = *Token ? std::strlen(Token) : 1;  // the empty one stands for NUL
            Input.insert(R.Below(Size + 1), Token, Length);
            break;
        }
        case 4:  // delete a range
            if (Size) {
                const size_t At = R.Below(Size);
                Input.erase(At, 1 + R.Below(std::min<size_t>(32, Size - At)));
            }
            break;
        case 5:  // copy a range elsewhere
            if (Size) {
                const size_t From = R.Below(Size);
                const std::string Chunk =
                    Input.substr(From, 1 + R.Below(std::min<size_t>(64, Size - From)));
                Input.insert(R.Below(Size + 1), Chunk);
            }
            break;
        case 6: {  // splice: this input's head, another seed's tail
            const std::string& Other = Seeds[R.Below(Seeds.size())];
            Input = Input.substr(0, R.Below(Size + 1)) + Other.substr(R.Below(Other.size() + 1));
            break;
        }
        case 7:  // truncate
            Input.resize(R.Below(Size + 1));
            break;
        default:  // replace a byte with one the parsers care about
            if (Size) Input[R.Below(Size)] = kSpecial[R.Below(sizeof kSpecial - 1)];
            break;
    }
}

// What the failure report needs; set before each input, read by the handlers below.
const char* gTarget = "fuzz";
const std::string* gCurrent = nullptr;
char gOrigin[512] = "";

void WriteText(const char* Text) {
    ssize_t Ignored = write(STDERR_FILENO, Text, std::strlen(Text));
    (void)Ignored;
}

// Only async-signal-safe calls: it also runs from signal handlers.
void SaveCurrentInput() {
    static bool Saved = false;
    if (Saved || !gCurrent) return;
    Saved = true;
    char Path[256];
    std::snprintf(Path, sizeof Path, "%s-failure.bin", gTarget);
    int Fd = open(Path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (Fd >= 0) {
        ssize_t Ignored = write(Fd, gCurrent->data(), gCurrent->size());
        (void)Ignored;
        close(Fd);
    }
    WriteText("\n==== failing input: ");
    WriteText(gOrigin);
    WriteText("; written to ");
    WriteText(Path);
    WriteText(" in the working directory; replay it with: ");
    WriteText(gTarget);
    WriteText(" FILE\n");
}

void OnFatalSignal(int Signal) {
    SaveCurrentInput();
    std::signal(Signal, SIG_DFL);
    raise(Signal);
}

void InstallFailureHandlers() {
    for (int Signal : {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL})
        std::signal(Signal, OnFatalSignal);
#ifdef BROVA_FUZZ_DEATH_CALLBACK
    __sanitizer_set_death_callback(SaveCurrentInput);
#endif
}

void RunOne(const std::string& Input) {
    gCurrent = &Input;
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(Input.data()), Input.size());
    gCurrent = nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR [MUTATIONS] | %s FILE...\n", argv[0], argv[0]);
        return 2;
    }
    static const std::string Target = std::filesystem::path(argv[0]).filename().string();
    gTarget = Target.c_str();
    InstallFailureHandlers();

    if (!std::filesystem::is_directory(argv[1])) {
        for (int I = 1; I < argc; ++I) {
            std::snprintf(gOrigin, sizeof gOrigin, "file %s", argv[I]);
            RunOne(ReadWholeFile(argv[I]));
        }
        std::printf("%s: %d inputs replayed, no failure\n", gTarget, argc - 1);
        return 0;
    }

    const long Mutations = argc > 2 ? std::strtol(argv[2], nullptr, 10) : kDefaultMutations;
    std::vector<std::filesystem::path> Files;
    for (const auto& Entry : std::filesystem::directory_iterator(argv[1]))
        if (Entry.is_regular_file()) Files.push_back(Entry.path());
    std::sort(Files.begin(), Files.end());
    if (Files.empty()) {
        std::fprintf(stderr, "%s: no seed files in %s\n", gTarget, argv[1]);
        return 2;
    }

    std::vector<std::string> Seeds;
    for (const auto& File : Files) {
        Seeds.push_back(ReadWholeFile(File));
        std::snprintf(gOrigin, sizeof gOrigin, "seed %s", File.c_str());
        RunOne(Seeds.back());
    }

    TRandom R{kRandomSeed};
    std::string Input;
    for (long I = 0; I < Mutations; ++I) {
        // Half the time a fresh copy of a seed, otherwise the previous mutant again, to go deeper.
        if (Input.empty() || Input.size() > kMaxMutantBytes || R.Below(2) == 0)
            Input = Seeds[R.Below(Seeds.size())];
        const int Stacked = 1 + static_cast<int>(R.Below(kMaxStackedMutations));
        for (int K = 0; K < Stacked; ++K) Mutate(Input, Seeds, R);
        std::snprintf(gOrigin, sizeof gOrigin, "mutation %ld of %ld", I + 1, Mutations);
        RunOne(Input);
    }
    std::printf("%s: %ld inputs (%zu seeds, %ld mutations), no failure\n", gTarget,
                static_cast<long>(Seeds.size()) + Mutations, Seeds.size(), Mutations);
    return 0;
}
