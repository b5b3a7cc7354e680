#include "server/ods/open_formula.h"

#include <optional>
#include <vector>

#include "server/ooxml/a1_references.h"
#include "server/sheet_names.h"

namespace orv::ods {

namespace {

// Where a sheet name lies inside one end point of a reference, when it has one.
struct NameSpan {
  size_t start = 0;  // the name as written, quotes included
  size_t end = 0;
  std::string name;  // unquoted
};

// Reads a quoted run starting at `at` (an apostrophe); returns one past the closing quote and the
// unquoted text, or npos when the quote is not closed.
size_t readQuoted(std::string_view s, size_t at, std::string& text) {
  text.clear();
  for (size_t i = at + 1; i < s.size(); ++i) {
    if (s[i] != '\'') {
      text.push_back(s[i]);
      continue;
    }
    if (i + 1 < s.size() && s[i + 1] == '\'') {
      text.push_back('\'');
      ++i;
      continue;
    }
    return i + 1;
  }
  return std::string_view::npos;
}

// One end point of a reference, [begin, end) of `s`: its sheet name if it names one. Sets
// `external` for a reference into another file ('iri'#...).
std::optional<NameSpan> endpointSheet(std::string_view s, size_t begin, size_t end,
                                      bool& external) {
  size_t i = begin;
  if (i < end && s[i] == '$') ++i;
  if (i >= end) return std::nullopt;
  NameSpan span;
  span.start = i;
  if (s[i] == '\'') {
    const size_t close = readQuoted(s.substr(0, end), i, span.name);
    if (close == std::string_view::npos) return std::nullopt;
    if (close < end && s[close] == '#') {
      external = true;
      return std::nullopt;
    }
    if (close >= end || s[close] != '.') return std::nullopt;
    span.end = close;
    return span;
  }
  size_t j = i;
  while (j < end && s[j] != '.' && s[j] != '#' && s[j] != '$' && s[j] != '\'') ++j;
  if (j == i || j >= end || s[j] != '.') return std::nullopt;
  span.end = j;
  span.name = std::string(s.substr(i, j - i));
  return span;
}

// Splits one reference [begin, end) at its top-level colons (outside quotes).
std::vector<std::pair<size_t, size_t>> endpoints(std::string_view s, size_t begin, size_t end) {
  std::vector<std::pair<size_t, size_t>> parts;
  size_t start = begin;
  std::string ignored;
  for (size_t i = begin; i < end; ++i) {
    if (s[i] == '\'') {
      const size_t close = readQuoted(s.substr(0, end), i, ignored);
      if (close == std::string_view::npos) break;
      i = close - 1;
    } else if (s[i] == ':') {
      parts.emplace_back(start, i);
      start = i + 1;
    }
  }
  parts.emplace_back(start, end);
  return parts;
}

// The spans of one reference [begin, end) that name `from` and are to be rewritten.
std::vector<NameSpan> spansToRewrite(std::string_view s, size_t begin, size_t end,
                                     std::string_view from, RetargetMode mode) {
  bool external = false;
  std::vector<std::optional<NameSpan>> names;
  for (const auto& [b, e] : endpoints(s, begin, end))
    names.push_back(endpointSheet(s, b, e, external));
  if (external) return {};
  // A range across sheets keeps its end points when a sheet is copied.
  if (mode == RetargetMode::Copy && names.size() == 2 && names[0] && names[1] &&
      !sameSheetName(names[0]->name, names[1]->name))
    return {};
  std::vector<NameSpan> out;
  for (auto& n : names)
    if (n && sameSheetName(n->name, from)) out.push_back(std::move(*n));
  return out;
}

// Appends s[begin, end) to `out` with the spans replaced by the quoted new name.
void appendRewritten(std::string& out, std::string_view s, size_t begin, size_t end,
                     const std::vector<NameSpan>& spans, const std::string& quoted) {
  size_t at = begin;
  for (const NameSpan& span : spans) {
    out.append(s.substr(at, span.start - at));
    out.append(quoted);
    at = span.end;
  }
  out.append(s.substr(at, end - at));
}

// One past the bracket that closes the reference opening at `open`, or npos.
size_t closingBracket(std::string_view s, size_t open) {
  std::string ignored;
  for (size_t i = open + 1; i < s.size(); ++i) {
    if (s[i] == '\'') {
      const size_t close = readQuoted(s, i, ignored);
      if (close == std::string_view::npos) return std::string_view::npos;
      i = close - 1;
    } else if (s[i] == ']') {
      return i + 1;
    } else if (s[i] == '[') {
      return std::string_view::npos;
    }
  }
  return std::string_view::npos;
}

bool hasPrefix(std::string_view formula, std::string_view prefix) {
  return formula.size() >= prefix.size() && formula.substr(0, prefix.size()) == prefix;
}

std::string retargetBrackets(std::string_view f, std::string_view from, std::string_view to,
                             RetargetMode mode) {
  const std::string quoted = quoteSheetName(to);
  std::string out;
  out.reserve(f.size() + 16);
  size_t copied = 0;
  for (size_t i = 0; i < f.size(); ++i) {
    if (f[i] == '"') {
      // A string literal, "" standing for a quote inside it.
      size_t j = i + 1;
      while (j < f.size()) {
        if (f[j] == '"') {
          if (j + 1 < f.size() && f[j + 1] == '"') {
            j += 2;
            continue;
          }
          break;
        }
        ++j;
      }
      i = j;
      continue;
    }
    if (f[i] != '[') continue;
    const size_t close = closingBracket(f, i);
    if (close == std::string_view::npos) continue;
    const std::vector<NameSpan> spans = spansToRewrite(f, i + 1, close - 1, from, mode);
    if (!spans.empty()) {
      out.append(f.substr(copied, i + 1 - copied));
      appendRewritten(out, f, i + 1, close - 1, spans, quoted);
      copied = close - 1;
    }
    i = close - 1;
  }
  if (copied == 0) return std::string(f);
  out.append(f.substr(copied));
  return out;
}

class OpenFormulaRefs : public FormulaReferences {
 public:
  std::string retarget(std::string_view formula, std::string_view from, std::string_view to,
                       RetargetMode mode) const override {
    return retargetFormula(formula, from, to, mode);
  }
  bool refersTo(std::string_view formula, std::string_view sheet,
                RetargetMode mode) const override {
    // A name no sheet can have shows whether anything would change.
    return retargetFormula(formula, sheet, "\x01", mode) != formula;
  }
};

}  // namespace

std::string quoteSheetName(std::string_view name) {
  std::string out = "'";
  for (char c : name) {
    out.push_back(c);
    if (c == '\'') out.push_back('\'');
  }
  out.push_back('\'');
  return out;
}

std::string retargetFormula(std::string_view formula, std::string_view from, std::string_view to,
                            RetargetMode mode) {
  if (hasPrefix(formula, "msoxl:")) {
    // Formulas kept in the Open XML syntax by the application that wrote the file.
    return "msoxl:" + retargetSheetRefs(formula.substr(6), from, to, mode);
  }
  return retargetBrackets(formula, from, to, mode);
}

std::string retargetAddresses(std::string_view a, std::string_view from, std::string_view to,
                              RetargetMode mode) {
  const std::string quoted = quoteSheetName(to);
  std::string out;
  size_t copied = 0;
  size_t i = 0;
  std::string ignored;
  while (i < a.size()) {
    while (i < a.size() && a[i] == ' ') ++i;
    size_t end = i;
    // One reference runs to the next space outside quotes.
    while (end < a.size() && a[end] != ' ') {
      if (a[end] == '\'') {
        const size_t close = readQuoted(a, end, ignored);
        if (close == std::string_view::npos) {
          end = a.size();
          break;
        }
        end = close;
        continue;
      }
      ++end;
    }
    if (end > i) {
      const std::vector<NameSpan> spans = spansToRewrite(a, i, end, from, mode);
      if (!spans.empty()) {
        out.append(a.substr(copied, i - copied));
        appendRewritten(out, a, i, end, spans, quoted);
        copied = end;
      }
    }
    i = end;
  }
  if (copied == 0) return std::string(a);
  out.append(a.substr(copied));
  return out;
}

const FormulaReferences& openFormulaReferences() {
  static const OpenFormulaRefs refs;
  return refs;
}

}  // namespace orv::ods
