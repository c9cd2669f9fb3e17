#pragma once

#include "export/Automation.h"
#include "export/calc/CalcOffice.h"

namespace calc {

// "Excel.Application" backed by LibreOffice Calc: connects through the plugin (starting the
// office when needed) and returns the application object. Throws automation::CreationError.
std::shared_ptr<automation::Dispatch> CreateExcelApplication();

// The same object model over a given office connection.
//
// Members: Application.Caption, .WorkBooks (collection, or workbook n), .SheetsInNewWorkbook,
// .Visible; Workbooks.Add, .Count, .Item; Workbook.WorkSheets (collection, or a sheet by
// position or name); Worksheets.Add (a new sheet at the end), .Count; Worksheet.Name,
// .Cells(row, col) put. Cell puts of a hidden workbook are collected per sheet and written in
// bulk, in bands of whole rows once many are pending and the rest before the workbook is shown;
// once shown, puts are written at once. Workbooks of an application that is released without
// ever being made visible are closed: nobody could reach them in the office.
std::shared_ptr<automation::Dispatch> CreateExcelApplication(std::unique_ptr<Office> office);

}  // namespace calc
