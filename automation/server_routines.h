#pragma once

#include <functional>
#include <memory>
#include <string>

#include "automation/services.h"
#include "server/application.h"

// The routines that wrap the spreadsheet automation server: module IsInstalled
// (CheckExcelInstalled) and module Excel1 (OpenWorkbook, IsExcelRunning,
// WarnIfExcelOpen).
namespace orv {

// Creates an engine instance through `createServer` and releases it at once.
// When none can be created, shows the guidance message (OK only, captioned
// with the application title) and calls `endProcess`. Never throws.
void CheckExcelInstalled(const ServerFactory& createServer, MessageBoxes& boxes,
                         const std::function<void(int)>& endProcess);

// A new instance with the workbook at `path` (the file system's own bytes) open in it; the
// caller owns it and ends it with quit(). Failures are thrown (orv::ServerError).
std::unique_ptr<Application> OpenWorkbook(const ServerFactory& createServer,
                                          const std::string& path);

// True when one of the current user's processes is a desktop spreadsheet
// application. Never throws; an unreadable process table gives false.
bool IsExcelRunning(const ProcessTable& processes);

// Asks whether to go on when a spreadsheet application is running. True
// means do not proceed.
bool WarnIfExcelOpen(const ProcessTable& processes, MessageBoxes& boxes);

// Whether `process` is one of the spreadsheet applications that may hold a
// workbook open: LibreOffice, Gnumeric, a Wine-hosted EXCEL.EXE, WPS
// Spreadsheets or ONLYOFFICE.
bool isSpreadsheetProcess(const ProcessInfo& process);

}  // namespace orv
