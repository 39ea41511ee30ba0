// Cell-number checks for row validation. No state; any thread.
#pragma once

#include <cstdint>
#include <string>

// True when every character is a decimal digit; true for the empty text.
bool IsAllDigits(const std::string& Text);
// 0: not a cell number; 1: national ("0...") or international ("27...") form; 2: digits of
// neither form. An optional leading "+" is ignored.
uint8_t ClassifyCellNo(const std::string& Text);
