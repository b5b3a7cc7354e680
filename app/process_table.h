#pragma once

#include "automation/services.h"

namespace orv {

// The platform's process table (process_table_posix.cpp on Linux).
class SystemProcessTable : public ProcessTable {
 public:
  std::vector<ProcessInfo> currentUserProcesses() const override;
};

}  // namespace orv
