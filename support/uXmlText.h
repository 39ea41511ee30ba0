// Texts made safe for an XML 1.0 document.
#pragma once

#include <string>
#include <string_view>

// Text as valid UTF-8 holding only characters XML 1.0 allows: a text that is not valid UTF-8
// is read as Windows-1252, and forbidden characters (controls other than TAB, LF and CR,
// U+FFFE and U+FFFF) are dropped. A clean text comes back unchanged. Any thread.
std::string ToXmlText(const std::string& Text);
// The same without copying a clean text: Text itself, else the converted text, kept in Storage.
std::string_view ToXmlText(std::string_view Text, std::string& Storage);

// Appends Text with the XML markup characters escaped; Text must already hold only allowed
// characters. CR always becomes a reference so line-end folding cannot change it; as an
// attribute value ("Attribute" true) quotes, TAB and LF are escaped too, which attribute
// normalisation would otherwise turn into blanks.
void AppendXmlEscaped(std::string& Out, std::string_view Text, bool Attribute);
// The bytes Text takes once escaped so.
size_t XmlEscapedSize(std::string_view Text, bool Attribute);
