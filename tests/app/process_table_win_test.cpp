// The Windows process table sees the programs of this session by their file names.
#include <windows.h>

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFileInfo>

#include "app/process_table.h"

namespace orv::test {
namespace {

TEST(WindowsProcessTable, ListsThisProgramByItsFileNameAndPath) {
  const long self = static_cast<long>(GetCurrentProcessId());
  bool seen = false;
  for (const ProcessInfo& p : SystemProcessTable().currentUserProcesses()) {
    if (p.pid != self) continue;
    seen = true;
    EXPECT_EQ(p.name, "gui_test.exe");
    EXPECT_EQ(QFileInfo(QString::fromStdString(p.argv0)).canonicalFilePath(),
              QFileInfo(QCoreApplication::applicationFilePath()).canonicalFilePath());
  }
  EXPECT_TRUE(seen);
}

}  // namespace
}  // namespace orv::test
