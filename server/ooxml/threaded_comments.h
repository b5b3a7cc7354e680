#pragma once

#include <functional>
#include <pugixml.hpp>
#include <string>
#include <string_view>

namespace orv::ooxml {

// Threaded comments name each comment by a GUID, replies name their parent by it, and the legacy
// note that mirrors a thread carries the thread's GUID as its uid and as its author ("tc={..}").
// A copy's comments get fresh GUIDs through one map, so that these links hold within the copy. The
// people who wrote them (the workbook's persons part) are shared.

// Old GUID -> new GUID, the same old one giving the same new one.
using RenewGuid = std::function<std::string(std::string_view)>;

// Fresh ids for the comments of a threaded comments part, and their replies and mentions
// re-pointed.
void renewThreadedComments(pugi::xml_document& part, const RenewGuid& renew);

// Fresh uids for the notes of a legacy comments part, and authors "tc={GUID}" that name a thread
// naming the thread's new id.
void renewNotes(pugi::xml_document& part, const RenewGuid& renew);

}  // namespace orv::ooxml
