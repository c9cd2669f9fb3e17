#pragma once

#include "export/calc/CalcOffice.h"

namespace calc {

// What a text put into a cell becomes: a plain decimal number ("12.5", "-3", "25", or with the
// locale's decimal separator) becomes a number so that it can be charted; everything else stays
// text, taken literally (a leading "=" is not a formula). A text becomes a number only when the
// number loses nothing the operator can see: no leading zeros ("007"), no negative zero, at most
// 15 digits (what a double holds exactly).
CellValue CellValueFromText(const QString& text, const QString& localeDecimalPoint);
CellValue CellValueFromText(const QString& text);  // with the system locale's separator

}  // namespace calc
