// The fixtures of the run's tests: small workbooks of named sheets, the engine and Python as
// independent readers.
#include <gtest/gtest.h>
#include <xlsxwriter.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "fixtures.h"
#include "server/server_error.h"

namespace orv::test {

void writeWorkbook(const std::string& path, const std::vector<FixtureSheet>& sheets) {
  lxw_workbook* wb = workbook_new(path.c_str());
  ASSERT_NE(wb, nullptr);
  std::string firstWorksheet;
  int n = 0;
  for (const FixtureSheet& s : sheets) {
    if (s.chart) continue;
    ++n;
    if (firstWorksheet.empty()) firstWorksheet = s.name;
  }
  n = 0;
  for (const FixtureSheet& s : sheets) {
    if (s.chart) {
      lxw_chartsheet* cs = workbook_add_chartsheet(wb, s.name.c_str());
      ASSERT_NE(cs, nullptr);
      lxw_chart* chart = workbook_add_chart(wb, LXW_CHART_COLUMN);
      const std::string range = "='" + firstWorksheet + "'!$A$2:$A$3";
      chart_add_series(chart, nullptr, range.c_str());
      chartsheet_set_chart(cs, chart);
      continue;
    }
    ++n;
    lxw_worksheet* ws = workbook_add_worksheet(wb, s.name.c_str());
    ASSERT_NE(ws, nullptr);
    worksheet_write_string(ws, 0, 0, (s.name + " A1").c_str(), nullptr);
    worksheet_write_number(ws, 1, 0, 10.0 * n, nullptr);
    worksheet_write_formula(ws, 2, 0, "=A2*2", nullptr);
  }
  ASSERT_EQ(workbook_close(wb), LXW_NO_ERROR);
}

std::unique_ptr<Application> openWithEngine(const std::string& path) {
  std::unique_ptr<Application> application = createApplication();
  application->workbooks().open(path);
  return application;
}

std::vector<std::string> sheetNamesByEngine(const std::string& path) {
  std::unique_ptr<Application> application = openWithEngine(path);
  SheetCollection sheets = application->workbooks().item(1).sheets();
  std::vector<std::string> names;
  for (int i = 1; i <= sheets.count(); ++i) names.push_back(sheets.item(i).name());
  application->quit();
  return names;
}


}  // namespace orv::test
