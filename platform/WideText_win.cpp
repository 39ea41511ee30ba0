#include "platform/WideText_win.h"

#include <windows.h>

#include <cwchar>

std::wstring WideOf(const std::string& Text, bool Lenient) {
    if (Text.empty()) return {};
    const DWORD Flags = Lenient ? 0 : MB_ERR_INVALID_CHARS;
    const int N = ::MultiByteToWideChar(CP_UTF8, Flags, Text.data(), static_cast<int>(Text.size()),
                                        nullptr, 0);
    if (N <= 0) {
        ::SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return {};
    }
    std::wstring W(static_cast<size_t>(N), L'\0');
    ::MultiByteToWideChar(CP_UTF8, Flags, Text.data(), static_cast<int>(Text.size()), W.data(), N);
    return W;
}

std::string Utf8Of(const wchar_t* Text, size_t Size) {
    if (Size == 0) return {};
    const int N = ::WideCharToMultiByte(CP_UTF8, 0, Text, static_cast<int>(Size), nullptr, 0,
                                        nullptr, nullptr);
    std::string S(static_cast<size_t>(N > 0 ? N : 0), '\0');
    if (N > 0)
        ::WideCharToMultiByte(CP_UTF8, 0, Text, static_cast<int>(Size), S.data(), N, nullptr,
                              nullptr);
    return S;
}

std::string Utf8Of(const wchar_t* Text) { return Utf8Of(Text, Text ? wcslen(Text) : 0); }

std::string WindowsErrorText(unsigned long Error) {
    wchar_t* Buffer = nullptr;
    const DWORD N = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, Error, 0, reinterpret_cast<wchar_t*>(&Buffer), 0, nullptr);
    std::string Text = N > 0 ? Utf8Of(Buffer, N) : std::string();
    if (Buffer) ::LocalFree(Buffer);
    while (!Text.empty() && (Text.back() == '\n' || Text.back() == '\r' || Text.back() == ' '))
        Text.pop_back();
    return Text.empty() ? "Windows error " + std::to_string(Error) : Text;
}
