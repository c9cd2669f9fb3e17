#pragma once

#include <QString>
#include <cstdint>

// True for the five status codes a device defines.
bool HasStatusText(std::uint8_t code);

// The operator's text for a status code; an undefined code reads as "0x" and two uppercase hex
// digits, so an unexpected value is visible instead of leaving an empty or outdated cell.
QString StatusText(std::uint8_t code);
