// Texts between the service's UTF-8 and the wide Windows calls, and the system's error texts.
// Windows only; any thread.
#pragma once

#include <cstddef>
#include <string>

// Text as UTF-16. Text that is not UTF-8 gives nothing, with ERROR_NO_UNICODE_TRANSLATION as the
// last error, so that no other file is named; unless Lenient, which makes its bad bytes U+FFFD
// (for texts that are only shown).
std::wstring WideOf(const std::string& Text, bool Lenient = false);
// Size wide characters (or up to the terminating zero) as UTF-8.
std::string Utf8Of(const wchar_t* Text, size_t Size);
std::string Utf8Of(const wchar_t* Text);
// The system's text for a Win32 error code, without its line end.
std::string WindowsErrorText(unsigned long Error);
