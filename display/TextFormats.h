#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>
#include <cstdint>
#include <span>

// A value in plain decimal notation, rounded to 15 significant digits, without trailing zeros,
// without a separator for a whole value and without a sign for zero: 12.5, 13, 0.
QString NumberText(double value, const QLocale& locale = QLocale::system());

// "yyyy/MM/dd hh:mm:ss" (24-hour clock) with the locale's own date and time separators.
QString TimeStampText(const QDateTime& localTime, const QLocale& locale = QLocale::system());

// Two uppercase hex digits per byte, single spaces between: "A0 04 00 80".
QString FormatHexBytes(std::span<const std::uint8_t> bytes);
