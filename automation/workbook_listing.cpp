#include "automation/workbook_listing.h"

#include "server/server_error.h"

namespace orv {

std::vector<std::string> worksheetNames(Workbook& workbook) {
  SheetCollection worksheets = workbook.worksheets();
  const int n = worksheets.count();
  std::vector<std::string> names;
  names.reserve(static_cast<size_t>(n));
  for (int i = 1; i <= n; ++i) names.push_back(worksheets.item(i).name());
  return names;
}

int appendWorksheetNames(const std::string& path, const OpenWorkbookFn& openWorkbook,
                         const std::function<void(const std::string&)>& append) {
  std::unique_ptr<Application> application = openWorkbook(path);
  if (!application) {
    throw ServerError("Cannot list the sheets of '" + path +
                      "': no spreadsheet engine was started.");
  }
  int appended = 0;
  try {
    Workbooks& books = application->workbooks();
    Workbook& workbook = books.item(books.count());
    SheetCollection worksheets = workbook.worksheets();
    const int n = worksheets.count();
    for (int i = 1; i <= n; ++i) {
      append(worksheets.item(i).name());
      ++appended;
    }
  } catch (...) {
    application->quit();
    throw;
  }
  application->quit();
  return appended;
}

}  // namespace orv
