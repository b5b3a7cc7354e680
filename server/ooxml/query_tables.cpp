#include "server/ooxml/query_tables.h"

#include <algorithm>

#include "server/ooxml/sheet_copy.h"
#include "server/ooxml/tables.h"

namespace orv::ooxml {

namespace {

constexpr std::string_view kConnectionsType = "/relationships/connections";

bool isGuid(std::string_view s) { return s.size() == 38 && s.front() == '{' && s.back() == '}'; }

long idOf(pugi::xml_node node) {
  const long long id = node.attribute("connectionId").as_llong(-1);
  return id < 0 || id > 0x7FFFFFFF ? -1 : static_cast<long>(id);
}

}  // namespace

ConnectionCopies::ConnectionCopies(Package& pkg, const std::string& workbookPart) : pkg_(pkg) {
  for (const Relationship& rel : pkg_.relationships(workbookPart)) {
    if (rel.external || !std::string_view(rel.type).ends_with(kConnectionsType)) continue;
    const std::string target = resolveTarget(workbookPart, rel.target);
    if (pkg_.has(target)) part_ = pkg_.entryName(target);
    break;
  }
}

void ConnectionCopies::load() {
  if (loaded_) return;
  loaded_ = true;
  if (part_.empty()) return;
  for (pugi::xml_node c : pkg_.xml(part_).document_element().children()) {
    if (localName(c.name()) != "connection") continue;
    const long long id = c.attribute("id").as_llong(-1);
    if (id >= 0 && id <= 0x7FFFFFFF) {
      highestId_ = std::max(highestId_, static_cast<long>(id));
      byId_.try_emplace(static_cast<long>(id), c);
    }
    names_.push_back(foldName(c.attribute("name").value()));
  }
}

std::string ConnectionCopies::freshName(const std::string& source) {
  // As a spreadsheet application numbers connections: "Connection", "Connection1", ...
  std::string stem = source.empty() ? "Connection" : source;
  while (stem.size() > 1 && stem.back() >= '0' && stem.back() <= '9') stem.pop_back();
  for (long n = 1;; ++n) {
    std::string candidate = stem + std::to_string(n);
    std::string folded = foldName(candidate);
    if (std::find(names_.begin(), names_.end(), folded) != names_.end()) continue;
    names_.push_back(std::move(folded));
    return candidate;
  }
}

std::optional<long> ConnectionCopies::copyOf(long id) {
  load();
  if (auto it = copies_.find(id); it != copies_.end()) return it->second;
  auto source = byId_.find(id);
  if (source == byId_.end()) return std::nullopt;
  const long fresh = ++highestId_;
  copies_[id] = fresh;
  order_.emplace_back(id, fresh);
  freshNames_[fresh] = freshName(source->second.attribute("name").value());
  return fresh;
}

void ConnectionCopies::commit() {
  if (order_.empty()) return;
  pugi::xml_node root = pkg_.xml(part_).document_element();
  pugi::xml_node last;
  for (pugi::xml_node c : root.children())
    if (localName(c.name()) == "connection") last = c;
  for (const auto& [from, to] : order_) {
    pugi::xml_node copy = root.insert_copy_after(byId_.at(from), last);
    last = copy;
    copy.attribute("id").set_value(to);
    if (pugi::xml_attribute name = copy.attribute("name")) {
      name.set_value(freshNames_[to].c_str());
    } else {
      copy.append_attribute("name").set_value(freshNames_[to].c_str());
    }
    for (pugi::xml_attribute a : copy.attributes())
      if (std::string_view(a.name()).ends_with(":uid") && isGuid(a.value()))
        a.set_value(newGuid().c_str());
    byId_.try_emplace(to, copy);
  }
  if (pugi::xml_attribute count = root.attribute("count"))
    count.set_value(count.as_llong() + static_cast<long long>(order_.size()));
  pkg_.markDirty(part_);
  order_.clear();
}

bool relinkConnection(pugi::xml_node root, ConnectionCopies& connections) {
  const long id = idOf(root);
  if (id < 0) return false;
  std::optional<long> copy = connections.copyOf(id);
  if (!copy) return false;
  root.attribute("connectionId").set_value(*copy);
  return true;
}

}  // namespace orv::ooxml
