#include "automation/server_routines.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>

#include "automation/app_title.h"
#include "server/server_error.h"

namespace orv {

namespace {

const char kNotInstalledMessage[] =
    "Error 842001. A normal instance of Excel could not be created.\r\n\r\n"
    "1. Please make sure Excel is installed on this computer.\r\n\r\n"
    "2. Please open Excel normally and make sure a blank spreadsheet opens immediately without any "
    "interrupting window (such as an Excel file recovery window).\r\n\r\n"
    "3. Please make sure that when you double-click on a XLS or XLSX file that Excel opens "
    "normally without any interrupting messages.\r\n\r\n"
    "4. All versions of Excel are supported by this software except for the rare Excel Starter "
    "and Student editions.";

const char kExcelOpenQuestion[] =
    "Excel may be open. It is recommended that you close Excel first.\r"
    "Use Ctrl+Alt+Del > Task Manager > EXCEL.EXE if necessary.\r\n\r\n"
    "Would you like to proceed anyway?";

// The last component of a Unix or Windows path.
std::string baseName(const std::string& path) {
  const size_t cut = path.find_last_of("/\\");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

bool isSpreadsheetName(std::string name) {
  // Windows names a program by its file name in any case ("EXCEL.EXE", "et.exe"), and so does
  // Wine; Linux by the kernel's short name (at most 15 characters) and as started.
  if (name.size() > 4 && lower(name.substr(name.size() - 4)) == ".exe") {
    name.resize(name.size() - 4);
    if (lower(name) == "excel" || lower(name) == "scalc") return true;
  }
  static const char* const kExact[] = {
      "soffice.bin",    "gnumeric", "et", "DesktopEditors", "onlyoffice-desktopeditors",
      "onlyoffice-desk"};
  for (const char* exact : kExact) {
    if (name == exact) return true;
  }
  return false;
}

}  // namespace

void CheckExcelInstalled(const ServerFactory& createServer, MessageBoxes& boxes,
                         const std::function<void(int)>& endProcess) {
  bool created = false;
  try {
    // Released at once, without quit: the probe only asks whether it can be made.
    created = createServer && createServer() != nullptr;
  } catch (...) {
    created = false;
  }
  if (created) return;
  try {
    boxes.show(kNotInstalledMessage, kOkOnly, applicationTitle());
  } catch (...) {
  }
  endProcess(1);
}

std::unique_ptr<Application> OpenWorkbook(const ServerFactory& createServer,
                                          const std::string& path) {
  // The path box lists any existing entry; the engine would call a folder an
  // empty file.
  std::error_code error;
  if (!path.empty() && std::filesystem::is_directory(path, error)) {
    throw ServerError("Cannot open '" + std::filesystem::path(path).filename().string() +
                      "': it is a folder, not a workbook. Choose a workbook file inside it.");
  }
  std::unique_ptr<Application> application = createServer();
  if (!application) throw ServerError("The workbook engine could not be started.");
  application->workbooks().open(path);
  return application;
}

bool isSpreadsheetProcess(const ProcessInfo& process) {
  return isSpreadsheetName(process.name) || isSpreadsheetName(baseName(process.argv0));
}

bool IsExcelRunning(const ProcessTable& processes) {
  try {
    const std::vector<ProcessInfo> all = processes.currentUserProcesses();
    return std::any_of(all.begin(), all.end(), isSpreadsheetProcess);
  } catch (...) {
    return false;
  }
}

bool WarnIfExcelOpen(const ProcessTable& processes, MessageBoxes& boxes) {
  if (!IsExcelRunning(processes)) return false;
  return boxes.show(kExcelOpenQuestion, kYesNo, applicationTitle()) != kYes;
}

}  // namespace orv
