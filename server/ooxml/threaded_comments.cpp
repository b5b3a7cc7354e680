#include "server/ooxml/threaded_comments.h"

#include "server/ooxml/package.h"

namespace orv::ooxml {

namespace {

bool isGuid(std::string_view s) { return s.size() == 38 && s.front() == '{' && s.back() == '}'; }

void renewAttribute(pugi::xml_node node, const char* name, const RenewGuid& renew) {
  pugi::xml_attribute a = node.attribute(name);
  if (a && isGuid(a.value())) a.set_value(renew(a.value()).c_str());
}

}  // namespace

void renewThreadedComments(pugi::xml_document& part, const RenewGuid& renew) {
  for (pugi::xml_node comment : part.document_element().children()) {
    if (localName(comment.name()) != "threadedComment") continue;
    renewAttribute(comment, "id", renew);
    renewAttribute(comment, "parentId", renew);
    for (pugi::xml_node child : comment.children()) {
      if (localName(child.name()) != "mentions") continue;
      for (pugi::xml_node mention : child.children()) renewAttribute(mention, "mentionId", renew);
    }
  }
}

void renewNotes(pugi::xml_document& part, const RenewGuid& renew) {
  static constexpr std::string_view kThread = "tc=";
  for (pugi::xml_node section : part.document_element().children()) {
    std::string_view local = localName(section.name());
    if (local == "authors") {
      for (pugi::xml_node author : section.children()) {
        pugi::xml_node text = author.first_child();
        std::string_view value = text ? text.value() : "";
        if (value.starts_with(kThread) && isGuid(value.substr(kThread.size())))
          text.set_value((std::string(kThread) + renew(value.substr(kThread.size()))).c_str());
      }
    } else if (local == "commentList") {
      for (pugi::xml_node note : section.children())
        for (pugi::xml_attribute a : note.attributes())
          if (std::string_view(a.name()).ends_with(":uid") && isGuid(a.value()))
            a.set_value(renew(a.value()).c_str());
    }
  }
}

}  // namespace orv::ooxml
