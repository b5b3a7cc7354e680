#pragma once

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "automation/duplication_run.h"
#include "automation/services.h"

namespace orv::test {

struct Message {
  std::string text;
  int style;
  std::string caption;
  bool operator==(const Message&) const = default;
};

// The window's message boxes, where the error report shows. Each box is
// recorded whole and also entered in `log` so that its order among the
// view's outputs can be checked.
class RecordingBoxes : public MessageBoxes {
 public:
  explicit RecordingBoxes(std::vector<std::string>& log) : log_(log) {}
  int show(const std::string& text, int style, const std::string& caption) override {
    shown.push_back({text, style, caption});
    log_.push_back("box " + shown.back().text);
    return kOk;
  }
  std::vector<Message> shown;

 private:
  std::vector<std::string>& log_;
};

// The window as the run sees it: inputs set by the test, every output recorded
// in order. Hooks let a test act at a given moment of the run.
class RecordingView : public DuplicationView {
 public:
  std::string path;
  std::string count = "3";
  std::string pattern = "MySheet[x]";
  int rename = 1;
  std::vector<std::string> items;
  std::optional<size_t> selected;  // index into items

  std::vector<std::string> appended;
  std::vector<double> progressValues;
  std::vector<std::string> progressTexts;
  std::vector<int> pointers;
  std::vector<Message> messages;
  std::vector<std::string> log;  // every output, in order

  std::function<void(double)> onProgress;
  std::function<void(const Message&)> onMessage;

  std::string workbookPath() override { return path; }
  std::string copyCountText() override { return count; }
  std::string namingPattern() override { return pattern; }
  int renameValue() override { return rename; }
  std::vector<std::string> sheetItems() override { return items; }
  std::string selectedSheet() override {
    if (!selected) throw std::runtime_error(std::string(kNoSheetSelected));
    return items.at(*selected);
  }
  void appendSheet(const std::string& name) override {
    items.push_back(name);
    appended.push_back(name);
    log.push_back("append " + name);
  }
  void setProgressValue(double value) override {
    progressValues.push_back(value);
    log.push_back("progress " + std::to_string(value));
    if (onProgress) onProgress(value);
  }
  void setProgressText(const std::string& text) override {
    progressTexts.push_back(text);
    log.push_back("text " + text);
  }
  void setPointer(int shape) override {
    pointers.push_back(shape);
    log.push_back("pointer " + std::to_string(shape));
  }
  void messageBox(const std::string& text, int style, const std::string& caption) override {
    messages.push_back({text, style, caption});
    log.push_back("message " + text);
    if (onMessage) onMessage(messages.back());
  }
};

}  // namespace orv::test
