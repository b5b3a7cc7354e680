#include "server/ooxml/vba_part.h"

#include <algorithm>
#include <utility>

#include "server/server_error.h"
#include "server/vba/vba_project.h"

namespace orv::ooxml {

namespace {

constexpr std::string_view kProjectType = "/vbaProject";
// The relationship types of the project's signatures (plain, agile and the third version)
// all start with this.
constexpr std::string_view kSignatureType = "/vbaProjectSignature";

std::string_view lastSegment(std::string_view type) {
  const size_t slash = type.rfind('/');
  return slash == std::string_view::npos ? type : type.substr(slash);
}

}  // namespace

VbaPart::VbaPart(Package& pkg, std::string workbookPart)
    : pkg_(pkg), workbookPart_(std::move(workbookPart)) {}

bool VbaPart::present() {
  if (!part_) {
    part_.emplace();
    for (const Relationship& rel : pkg_.relationships(workbookPart_)) {
      if (rel.external || lastSegment(rel.type) != kProjectType) continue;
      const std::string part = resolveTarget(workbookPart_, rel.target);
      if (pkg_.has(part)) *part_ = pkg_.entryName(part);
      break;
    }
  }
  return !part_->empty();
}

const cfb::CompoundEntry* VbaPart::project() {
  if (project_) return &*project_;
  if (!readError_.empty() || !present()) return nullptr;
  try {
    project_ = cfb::readCompoundFile(pkg_.read(*part_), partBase(*part_));
  } catch (const ServerError&) {
    readError_ = "its macro project (" + partBase(*part_) + ") is damaged";
    return nullptr;
  }
  return &*project_;
}

std::set<std::string> VbaPart::takenNames() {
  const cfb::CompoundEntry* p = project();
  return p ? vba::vbaTakenNames(*p) : std::set<std::string>{};
}

std::optional<cfb::CompoundEntry> VbaPart::withModule(const std::string& sheetName,
                                                      const std::string& source,
                                                      const std::string& module) {
  const std::string refused = "Cannot copy the sheet '" + sheetName + "': ";
  const std::string unchanged = ", so its macros cannot be copied. The workbook was not changed.";
  const cfb::CompoundEntry* p = project();
  if (!p) throw ServerError(refused + readError_ + unchanged);
  try {
    // A sheet whose code name has no module (the application makes one when it needs it)
    // gives its copy none either.
    if (!vba::hasModule(*p, source)) return std::nullopt;
    cfb::CompoundEntry changed = *p;
    vba::addDocumentModule(changed, source, module);
    return changed;
  } catch (const vba::VbaError& e) {
    throw ServerError(refused + e.what + unchanged);
  }
}

void VbaPart::commit(cfb::CompoundEntry project) {
  const bool signedStreams =
      project_ &&
      std::any_of(project_->children.begin(), project_->children.end(),
                  [](const auto& e) { return e.name.starts_with("\005DigitalSignature"); });
  project_ = std::move(project);
  // The part is written from the project as it is when the package is saved.
  pkg_.remove(*part_);
  pkg_.addLazy(*part_, [this] { return cfb::writeCompoundFile(*project_); });
  if (removeSignatureParts() || signedStreams) signatureRemoved_ = true;
}

bool VbaPart::removeSignatureParts() {
  const std::string rels = relsPartOf(*part_);
  if (!pkg_.has(rels)) return false;
  pugi::xml_node root = pkg_.xml(rels).document_element();
  std::vector<pugi::xml_node> signatures;
  forEachRelationship(root, [&](const Relationship& rel, pugi::xml_node node) {
    if (!lastSegment(rel.type).starts_with(kSignatureType)) return;
    const std::string part = resolveTarget(*part_, rel.target);
    pkg_.remove(part);
    pkg_.removeOverride(part);
    signatures.push_back(node);
  });
  for (pugi::xml_node node : signatures) root.remove_child(node);
  if (signatures.empty()) return false;
  if (root.find_child([](pugi::xml_node n) { return localName(n.name()) == "Relationship"; })) {
    pkg_.markDirty(rels);
  } else {
    pkg_.remove(rels);
    pkg_.removeOverride(rels);
  }
  return true;
}

}  // namespace orv::ooxml
