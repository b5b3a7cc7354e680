#pragma once

#include <cstdio>

namespace orv::cli {

// A one-line bar on a terminal. On anything else (a pipe, a log file) it stays
// silent, so that redirected error output holds only messages.
class ProgressBar {
 public:
  // Draws only when `out` is a terminal.
  explicit ProgressBar(std::FILE* out);
  ~ProgressBar();
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  // Shows that copy `current` of `total` is under way.
  void show(long current, long total);
  // Removes the bar so that a line of text can be written; the next show()
  // draws it again.
  void clear();

 private:
  std::FILE* out_;
  bool enabled_;
  bool drawn_ = false;
};

}  // namespace orv::cli
