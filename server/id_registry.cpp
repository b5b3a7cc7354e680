#include "server/id_registry.h"

#include <utility>

namespace orv {

namespace {

std::string foldAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

}  // namespace

void IdRegistry::addNames(IdKind kind, GatherNames gather) {
  names_[kind] = Row<std::string>{[gather = std::move(gather)](std::set<std::string>& used) {
                                    std::set<std::string> found;
                                    gather(found);
                                    for (const std::string& name : found)
                                      used.insert(foldAscii(name));
                                  },
                                  std::nullopt};
}

void IdRegistry::addNumbers(IdKind kind, GatherNumbers gather) {
  numbers_[kind] = Row<long>{std::move(gather), std::nullopt};
}

bool IdRegistry::claimName(IdKind kind, std::string_view name) {
  return names_[kind].inUse().insert(foldAscii(name)).second;
}

std::optional<long> IdRegistry::claimNextNumber(IdKind kind, long first, long max) {
  std::set<long>& used = numbers_[kind].inUse();
  const long next = used.empty() ? first : std::max(first, *used.rbegin() + 1);
  if (next > max) return std::nullopt;
  used.insert(next);
  return next;
}

bool IdRegistry::usesNumber(IdKind kind, long number) {
  return numbers_[kind].inUse().count(number) > 0;
}

}  // namespace orv
