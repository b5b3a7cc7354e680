#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "server/engine.h"
#include "server/server_error.h"

namespace orv {

// Receives what an operation did beyond what was asked that the user should hear of, one
// sentence at a time ("The digital signature ... was removed").
using NoticeHandler = std::function<void(const std::string&)>;

class Workbook;

// A sheet of an open workbook: a cheap handle, valid while its workbook is open.
class Sheet {
 public:
  Sheet(Workbook* book, SheetId id) : book_(book), id_(id) {}

  std::string name() const;
  // Renames the sheet as a spreadsheet application does; refuses invalid or
  // duplicate names with ServerError.
  void setName(const std::string& name);
  SheetKind kind() const;
  SheetVisibility visibility() const;
  // Copies this sheet and places the copy right after `after`, a sheet of the
  // same workbook. The copy becomes the workbook's active sheet.
  void copy(const Sheet& after);
  int index() const;  // 1-based position among all sheets
  SheetId id() const { return id_; }

 private:
  Workbook* book_;
  SheetId id_;
};

// Sheets(...) when `worksheetsOnly` is false, Worksheets(...) when true.
class SheetCollection {
 public:
  SheetCollection(Workbook* book, bool worksheetsOnly)
      : book_(book), worksheetsOnly_(worksheetsOnly) {}
  int count() const;
  Sheet item(int index) const;  // 1-based; out of range throws
  // Name lookup ignores case as a spreadsheet application does; a name that
  // matches no sheet throws.
  Sheet item(std::string_view name) const;

 private:
  std::vector<SheetId> ids() const;
  Workbook* book_;
  bool worksheetsOnly_;
};

class Workbook {
 public:
  Workbook(std::string path, std::unique_ptr<Engine> engine);
  ~Workbook();

  const std::string& path() const { return path_; }
  SheetCollection sheets() { return SheetCollection(this, false); }
  SheetCollection worksheets() { return SheetCollection(this, true); }
  Sheet activeSheet() { return Sheet(this, active_); }
  // `last`: no save of this run follows, so the file may be made for size rather than for
  // the next save.
  void save(bool last = false);
  // The file as last read or saved, taken by the save itself, so that a program writing the file
  // right after a save cannot pass for it. Looked up afresh when the engine keeps none.
  FileIdentity identityOnDisk() const;

  Engine& engine() { return *engine_; }
  void setActive(SheetId id) { active_ = id; }
  // Where the engine's notices go; none (the default) drops them.
  void setNoticeHandler(const NoticeHandler* handler) { notices_ = handler; }
  void passNotices();

 private:
  std::string path_;
  std::unique_ptr<Engine> engine_;
  SheetId active_;
  const NoticeHandler* notices_ = nullptr;
};

class Workbooks {
 public:
  // Opens the workbook at `path`; it becomes the last item.
  Workbook& open(const std::string& path);
  int count() const { return static_cast<int>(books_.size()); }
  Workbook& item(int index);  // 1-based

  void closeAll() { books_.clear(); }
  void setNoticeHandler(NoticeHandler handler) { notices_ = std::move(handler); }

 private:
  std::vector<std::unique_ptr<Workbook>> books_;
  NoticeHandler notices_;
};

// One instance of the spreadsheet automation server. Creating one is cheap;
// quit() closes every workbook without saving.
class Application {
 public:
  Application() = default;
  Workbooks& workbooks() { return workbooks_; }
  void quit() { workbooks_.closeAll(); }
  // Notices of the workbooks opened from now on go to `handler`.
  void onNotice(NoticeHandler handler) { workbooks_.setNoticeHandler(std::move(handler)); }

 private:
  Workbooks workbooks_;
};

// The one factory through which every instance is made.
std::unique_ptr<Application> createApplication();

}  // namespace orv
