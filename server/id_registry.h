#pragma once

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace orv {

// The kinds of id that must stay unique across a workbook when a sheet is copied. Each engine
// registers the kinds its format has, with the way to gather the ids in use.
enum class IdKind {
  CodeName,       // a sheet's code name, which the VBA project names it by (compared ignoring case)
  VmlShapeBlock,  // a legacy drawing's block of 1024 shape ids (o:idmap)
};

// A workbook-wide registry of ids. A kind's ids in use are gathered when a copy first needs
// them, never at opening, and every id handed out is recorded, so that the next copy gets
// another. A new kind of object adds a row here, not a hook through the copy.
class IdRegistry {
 public:
  using GatherNames = std::function<void(std::set<std::string>&)>;
  using GatherNumbers = std::function<void(std::set<long>&)>;

  void addNames(IdKind kind, GatherNames gather);
  void addNumbers(IdKind kind, GatherNumbers gather);

  // Records `name` as used when no id of `kind` equals it ignoring ASCII case; false when taken.
  bool claimName(IdKind kind, std::string_view name);
  // The number one above the largest in use (at least `first`), recorded as used; nothing when
  // that would pass `max`.
  std::optional<long> claimNextNumber(IdKind kind, long first, long max);
  // True when a number of `kind` is in use.
  bool usesNumber(IdKind kind, long number);

 private:
  template <typename T>
  struct Row {
    std::function<void(std::set<T>&)> gather;
    std::optional<std::set<T>> used;  // gathered on first use
    std::set<T>& inUse() {
      if (!used) {
        used.emplace();
        if (gather) gather(*used);
      }
      return *used;
    }
  };
  std::map<IdKind, Row<std::string>> names_;
  std::map<IdKind, Row<long>> numbers_;
};

}  // namespace orv
