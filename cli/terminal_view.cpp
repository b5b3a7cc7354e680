#include "cli/terminal_view.h"

#include <algorithm>

#include "automation/naming_rule.h"
#include "automation/workbook_listing.h"
#include "server/application.h"
#include "server/durable_file.h"
#include "server/server_error.h"

namespace orv::cli {

namespace {

// The lines of the duplication run's table that the command line words on its own.
constexpr int kRenameLine = 134;
constexpr int kSaveLine = 146;
constexpr int kQuitLine = 148;
constexpr int kSaveOnceLine = 154;
constexpr int kEndLine = 166;

}  // namespace

TerminalView::TerminalView(const CopyRequest& request, std::FILE* err)
    : request_(request), err_(err), bar_(err) {}

void TerminalView::print(const std::string& text) {
  bar_.clear();
  std::fwrite(text.data(), 1, text.size(), err_);
  std::fputc('\n', err_);
  std::fflush(err_);
  messages.push_back(text);
}

std::string TerminalView::intendedName() const {
  return request_.names.empty() ? CleanSheetName(run_->candidate()) : run_->candidate();
}

bool TerminalView::prepare() {
  try {
    fileIdentity(request_.book, displayName(request_.book));
    std::unique_ptr<Application> application = createApplication();
    listen(*application);
    Workbooks& books = application->workbooks();
    books.open(request_.book);
    Workbook& last = books.item(books.count());
    sheets_ = worksheetNames(last);
    // A missing source sheet stops the run before anything is written.
    last.sheets().item(request_.sheet);
    if (request_.save == SaveMode::Once) {
      prepared_instance_ = std::move(application);
    } else {
      application->quit();
    }
  } catch (const ServerError& e) {
    print(e.what());
    aborted = true;
    return false;
  }
  prepared_ = true;
  return true;
}

std::unique_ptr<Application> TerminalView::open(const std::string& path) {
  if (prepared_instance_) return std::move(prepared_instance_);
  std::unique_ptr<Application> application = createApplication();
  listen(*application);
  application->workbooks().open(path);
  return application;
}

void TerminalView::listen(Application& application) {
  application.onNotice([this](const std::string& notice) {
    if (std::find(notices.begin(), notices.end(), notice) == notices.end())
      notices.push_back(notice);
  });
}

int TerminalView::failure(const std::string& description, const Step& step) {
  if (!prepared_) {
    print(description);
    aborted = true;
    return kEndLine;
  }
  if (step.line == kRenameLine) {
    refusal_ = description;
    return step.resumeAt;
  }
  if (step.line == kSaveOnceLine) {
    print(description);
    print("The copies made were not saved; the workbook is unchanged.");
    unsaved = true;
    return step.resumeAt;
  }
  // Opening, copying or saving failed: the next copy would meet the same cause, so the run
  // stops here. Copies already made are kept; one whose save failed is not among them.
  if (step.line == kSaveLine && !made.empty()) made.pop_back();
  print("Copy " + std::to_string(run_->copyNumber()) + " of " + std::to_string(request_.count) +
        " failed: " + description);
  failed = true;
  run_->stopAfterThisCopy();
  return kQuitLine;
}

// A refused name leaves the copy with its automatic name.
void TerminalView::appendSheet(const std::string& name) {
  sheets_.push_back(name);
  made.push_back(name);
  if (!refusal_) return;
  print("Copy " + std::to_string(run_->copyNumber()) + " could not be named \"" + intendedName() +
        "\": " + *refusal_ + " It keeps the name \"" + name + "\".");
  refused.push_back({run_->copyNumber(), intendedName(), *refusal_});
  refusal_.reset();
  failed = true;
}

// Once the run is prepared, the only box it shows is the one for a name already taken.
void TerminalView::messageBox(const std::string& text, int, const std::string&) {
  print(text);
  failed = true;
  if (!prepared_) {
    aborted = true;
  } else if (run_ && run_->copyNumber() > 0) {
    refused.push_back({run_->copyNumber(), run_->candidate(), text});
  }
}

void TerminalView::copyStarting(std::int32_t number, std::int32_t count) {
  bar_.show(number, count);
}

// Said at the end of the run, with what the file holds then.
void TerminalView::workbookChanged(const std::string&, const std::string&) {
  changed = true;
  failed = true;
}

}  // namespace orv::cli
