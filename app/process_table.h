#pragma once

#include "automation/services.h"

namespace orv {

// The platform's process table (process_table_posix.cpp, process_table_win.cpp).
class SystemProcessTable : public ProcessTable {
 public:
  std::vector<ProcessInfo> currentUserProcesses() const override;
};

}  // namespace orv
