#pragma once

#include <QList>

class GridModel;
class QWidget;

// Copies each grid, cell by cell, into a new workbook of the spreadsheet application registered
// as "Excel.Application" and leaves the application open and visible for the operator.
//
// When the application cannot be created, shows "无法打开Xls文件，请确认已 经安装EXCEL！" and
// returns normally. An error reported by the application during the copy propagates as
// automation::CallError (a std::exception with a UTF-8 what()) after every reference is dropped.
// Runs on the UI thread with a wait cursor and returns when the export is done.
void ExportGridsToExcel(const QList<const GridModel*>& grids, QWidget* parent = nullptr);
