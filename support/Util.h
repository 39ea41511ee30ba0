// Text and path helpers shared by the dispatcher and the workers. No state; any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// Without leading and trailing characters of code 32 or less.
std::string Trim(const std::string& Text);
// With a-z replaced by A-Z; every other byte unchanged.
std::string UpperCase(const std::string& Text);
// Path followed by "/" unless it already ends in "/" or "\", or is blank.
std::string AddTrailingBackslash(const std::string& Path);
// Path with the extension of its file name (from the last ".") replaced by Ext (".log"); Ext is
// appended to a name without one.
std::string ChangeFileExt(const std::string& Path, const std::string& Ext);
// Appends the fields of Line, split at Delimiter, to Fields. With HandleQuotes a field that
// begins with a double quote runs to its closing quote and may hold the delimiter and doubled
// quotes; the last field is never unquoted. Empty fields are kept only with KeepEmpty, and an
// empty last field never. Linear in the length of Line.
void SplitDelimitedLine(char Delimiter, const std::string& Line, std::vector<std::string>& Fields,
                        bool HandleQuotes, bool KeepEmpty);
// The same into Fields emptied first, but reusing the strings it holds, so that splitting line
// after line allocates nothing once the fields have their room.
void SplitDelimitedLineInto(char Delimiter, std::string_view Line, std::vector<std::string>& Fields,
                            bool HandleQuotes, bool KeepEmpty);
// True for a host name that stays on this machine: "localhost", 127.0.0.0/8 or ::1 (with or
// without brackets), letter case aside.
bool IsLoopbackHost(const std::string& Host);
// The host of an http:// or https:// URL (an IPv6 literal without its brackets); "" when URL
// has none.
std::string UrlHost(const std::string& Url);
// True when Text contains "@" and ".".
bool IsEmailAddress(const std::string& Text);
// Text without its "<![CDATA[" ... "]]>" wrapping, with each "]]><![CDATA[>" turned back into ">".
std::string UnwrapCDATA(std::string Text);
