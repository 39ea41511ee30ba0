#include "host/uCollection.h"

#include <cstdint>

#include "platform/Files.h"
#include "worker/uServiceFileNames.h"

namespace {

// The longest file name most file systems take.
constexpr size_t kMaxFileNameBytes = 255;

bool IsControl(char C) {
    const unsigned char Code = static_cast<unsigned char>(C);
    return Code < 0x20 || Code == 0x7F;
}

}  // namespace

std::string SafeFileNamePart(const std::string& Value) {
    std::string Safe = Value;
    for (char& C : Safe)
        if (C == '/' || C == '\\' || IsControl(C)) C = '_';
    return Safe;
}

std::string UnwrittenFileName(const std::string& TargetFile) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string Name = kUnwrittenPrefix;
    for (const char C : TargetFile) {
        const unsigned char Code = static_cast<unsigned char>(C);
        if (C == '/') {
            Name += '_';
        } else if (C == '_' || C == '%' || C == '~' || IsControl(C)) {
            Name += '%';
            Name += kHex[Code >> 4];
            Name += kHex[Code & 0xF];
        } else {
            Name += C;
        }
    }
    if (Name.size() <= kMaxFileNameBytes) return Name;
    // FNV-1a: the same on every build, so a target keeps its file across restarts.
    uint64_t Hash = 14695981039346656037ull;
    for (const char C : TargetFile)
        Hash = (Hash ^ static_cast<unsigned char>(C)) * 1099511628211ull;
    std::string Tail = "~";
    for (int Shift = 60; Shift >= 0; Shift -= 4) Tail += kHex[(Hash >> Shift) & 0xF];
    Tail += kCollectedFileExtension;
    Name.resize(kMaxFileNameBytes - Tail.size());
    return Name + Tail;
}

std::string GatewayField(const std::string& Value) {
    std::string Field = Value;
    for (char& C : Field)
        if (IsControl(C)) C = ' ';
    return Field;
}

bool IsRefusedCollectedName(const std::string& Name) {
    const std::string Safe = SafeFileNamePart(Name);
    return IsServiceFileName(Safe) || IsServiceFileName(Safe + kCollectedFileExtension);
}

std::string BeyondLimitTarget(const std::string& Directory) {
    return Directory + "Beyond-" + std::to_string(kMaxNewFilesPerCollection) + "-new-files" +
           kCollectedFileExtension;
}

bool TNewFileLimit::Admits(const std::string& Target) {
    const auto Found = Decided.find(Target);
    if (Found != Decided.end()) return Found->second;
    bool Admitted = true;
    if (!FileExists(Target)) Admitted = Made++ < kMaxNewFilesPerCollection;
    Decided.emplace(Target, Admitted);
    return Admitted;
}
