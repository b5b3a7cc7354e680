// Running out of memory while a part is parsed is said as such, not as a damaged file: the XML
// parser's allocations are made to fail after a budget, for budgets that reach the workbook part,
// the sheet and the copy.
#include <gtest/gtest.h>

#include <cstdlib>
#include <pugixml.hpp>

#include "server/application.h"
#include "tests/support/fixtures.h"

namespace orv {
namespace {

size_t allowance = 0;

void* limitedAllocate(size_t size) {
  if (size > allowance) return nullptr;
  allowance -= size;
  return std::malloc(size);
}

class OutOfMemory : public ::testing::TestWithParam<size_t> {
 protected:
  void SetUp() override {
    allowance = GetParam();
    pugi::set_memory_management_functions(limitedAllocate, std::free);
  }
  void TearDown() override { pugi::set_memory_management_functions(std::malloc, std::free); }
};

TEST_P(OutOfMemory, IsReportedAsMemoryRunningOutAndTheFileIsUntouched) {
  test::TempDir dir;
  const std::string path = dir.file("Book.xlsx");
  test::writeRichWorkbook(path);
  const std::string before = test::readFile(path);
  try {
    auto app = createApplication();
    Workbook& book = app->workbooks().open(path);
    SheetCollection sheets = book.sheets();
    sheets.item(1).copy(sheets.item(sheets.count()));
    book.save();
    FAIL() << "the copy was made within " << GetParam() << " bytes";
  } catch (const ServerError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Cannot open 'Book.xlsx': there is not enough memory to open this workbook.");
  }
  EXPECT_EQ(test::readFile(path), before);
}

INSTANTIATE_TEST_SUITE_P(Budgets, OutOfMemory, ::testing::Values(0, 40000, 160000));

}  // namespace
}  // namespace orv
