// Texts made safe for an XML 1.0 document.
#pragma once

#include <string>

// Text as valid UTF-8 holding only characters XML 1.0 allows: a text that is not valid UTF-8
// is read as Windows-1252, and forbidden characters (controls other than TAB, LF and CR,
// U+FFFE and U+FFFF) are dropped. A clean text comes back unchanged. Any thread.
std::string ToXmlText(const std::string& Text);
