#include "cli/progress_bar.h"

#include <unistd.h>

#include <string>

namespace orv::cli {

namespace {
constexpr int kWidth = 30;
}

ProgressBar::ProgressBar(std::FILE* out) : out_(out), enabled_(isatty(fileno(out)) == 1) {}

ProgressBar::~ProgressBar() { clear(); }

void ProgressBar::show(long current, long total) {
  if (!enabled_ || total <= 0) return;
  const double fraction = static_cast<double>(current) / static_cast<double>(total);
  const int filled = static_cast<int>(fraction * kWidth);
  std::string bar(static_cast<size_t>(filled), '#');
  bar.resize(kWidth, '.');
  std::fprintf(out_, "\r[%s] %3d%%  copy %ld of %ld", bar.c_str(), static_cast<int>(fraction * 100),
               current, total);
  std::fflush(out_);
  drawn_ = true;
}

void ProgressBar::clear() {
  if (!drawn_) return;
  // Carriage return, then erase to the end of the line.
  std::fputs("\r\x1b[K", out_);
  std::fflush(out_);
  drawn_ = false;
}

}  // namespace orv::cli
