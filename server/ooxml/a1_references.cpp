#include "server/ooxml/a1_references.h"

#include <cstdint>

#include "server/ooxml/formula_text.h"
#include "server/sheet_names.h"
#include "server/unicode_chars.h"

namespace orv {

namespace {

using ooxml::formula_text::isAsciiLetter;
using ooxml::formula_text::isDigit;
using ooxml::formula_text::isNameByte;
using ooxml::formula_text::looksLikeCellRef;

constexpr std::size_t npos = std::string_view::npos;

// A run of name bytes that may stand unquoted as a sheet name before "!". A run that starts with
// a digit or looks like a cell address is something else (a malformed formula written by a careless
// producer), and is left alone rather than guessed at.
bool isUnquotedSheetName(std::string_view run) {
  if (run.empty() || isDigit(run[0]) || run[0] == '.') return false;
  if (run.find_first_of("\\?") != npos) return false;
  return !looksLikeCellRef(run);
}

std::size_t skipRun(std::string_view f, std::size_t i) {
  while (i < f.size() && isNameByte(f[i])) ++i;
  return i;
}

// Error constants (#REF!, #N/A, #DIV/0!, #NAME?, #GETTING_DATA) and the spill operator "A1#".
std::size_t skipError(std::string_view f, std::size_t i) {
  std::size_t j = i + 1;
  while (j < f.size() && (isAsciiLetter(f[j]) || isDigit(f[j]) || f[j] == '/' || f[j] == '_')) ++j;
  if (j > i + 1 && j < f.size() && (f[j] == '!' || f[j] == '?')) ++j;
  return j;
}

// The index of the closing `quote` of the token opening at `i`, doubled quotes being part of the
// text; npos when the token never closes.
std::size_t findClosingQuote(std::string_view f, std::size_t i, char quote) {
  for (std::size_t j = i + 1;;) {
    const std::size_t q = f.find(quote, j);
    if (q == npos) return npos;
    if (q + 1 < f.size() && f[q + 1] == quote) {
      j = q + 2;
      continue;
    }
    return q;
  }
}

// Past the bracket group opening at `i`: an external book index "[1]" or a structured reference
// "Table1[[#This Row],[Col]]", whose apostrophe escapes the next character. npos when unbalanced.
std::size_t skipBrackets(std::string_view f, std::size_t i) {
  int depth = 0;
  for (std::size_t j = i; j < f.size(); ++j) {
    if (f[j] == '\'') {
      ++j;
    } else if (f[j] == '[') {
      ++depth;
    } else if (f[j] == ']' && --depth == 0) {
      return j + 1;
    }
  }
  return npos;
}

// Past what follows "!": a cell, a range, a whole column or row, a name or an error constant. The
// far end of a range is taken only when it is not itself a sheet prefix ("Sheet1!A1:Sheet2!B2"),
// so that "A1:Sheet2" is never read as a 3-D range.
std::size_t skipRefBody(std::string_view f, std::size_t i) {
  if (i < f.size() && f[i] == '#') return skipError(f, i);
  auto skipPart = [&](std::size_t j) {
    while (j < f.size() && (isNameByte(f[j]) || f[j] == '$')) ++j;
    return j;
  };
  i = skipPart(i);
  if (i < f.size() && f[i] == ':') {
    const std::size_t end = skipPart(i + 1);
    if (end > i + 1 && (end == f.size() || f[end] != '!')) i = end;
  }
  return i;
}

// The sheet part of one reference: the bytes [begin, end) before its "!".
struct SheetRef {
  std::size_t begin;
  std::size_t end;
  bool quoted;  // names still carry their doubled apostrophes
  bool threeD;
  std::string_view first;
  std::string_view last;  // the far end of a 3-D range
};

// Calls onRef for every reference to a sheet of this workbook, in order; references into other
// books are passed over. Returns false, having stopped, when the formula is malformed.
template <class OnRef>
bool scanSheetRefs(std::string_view f, OnRef&& onRef) {
  std::size_t i = 0;
  while (i < f.size()) {
    const char c = f[i];
    if (c == '"') {
      const std::size_t close = findClosingQuote(f, i, '"');
      if (close == npos) return false;
      i = close + 1;
    } else if (c == '\'') {
      const std::size_t close = findClosingQuote(f, i, '\'');
      if (close == npos) return false;
      // Quotes only ever wrap a sheet name. Reading on past a stray quoted token could rewrite a
      // name right after it into quotes that then merge with it.
      if (close + 1 >= f.size() || f[close + 1] != '!') return false;
      const std::string_view inner = f.substr(i + 1, close - i - 1);
      // A "[" cannot stand in a sheet name: it opens another book's index or path.
      if (inner.find('[') == npos) {
        // Nor can ":", so it can only separate the ends of a 3-D range.
        const std::size_t colon = inner.find(':');
        SheetRef ref{i, close + 1, true, colon != npos, inner.substr(0, colon), {}};
        if (colon != npos) ref.last = inner.substr(colon + 1);
        onRef(ref);
      }
      i = skipRefBody(f, close + 2);
    } else if (c == '[') {
      const std::size_t end = skipBrackets(f, i);
      if (end == npos) return false;
      i = end;
      // After a book index come that book's sheets ("[1]Sheet1!A1", "[1]S1:S3!A1", "[1]!Name").
      std::size_t j = skipRun(f, i);
      if (j < f.size() && f[j] == ':') {
        const std::size_t k = skipRun(f, j + 1);
        if (k > j + 1 && k < f.size() && f[k] == '!') j = k;
      }
      if (j < f.size() && f[j] == '!') i = skipRefBody(f, j + 1);
    } else if (c == '#') {
      i = skipError(f, i);
    } else if (c == '$') {
      // "$A$1": what follows a dollar is part of an address, never a sheet name.
      i = skipRun(f, i + 1);
    } else if (isNameByte(c)) {
      const std::size_t end = skipRun(f, i);
      const std::string_view run = f.substr(i, end - i);
      i = end;
      if (end >= f.size() || !isUnquotedSheetName(run)) continue;
      if (f[end] == '!') {
        onRef(SheetRef{end - run.size(), end, false, false, run, {}});
        i = skipRefBody(f, end + 1);
      } else if (f[end] == ':') {
        const std::size_t farEnd = skipRun(f, end + 1);
        const std::string_view last = f.substr(end + 1, farEnd - end - 1);
        if (farEnd < f.size() && f[farEnd] == '!' && isUnquotedSheetName(last)) {
          onRef(SheetRef{end - run.size(), farEnd, false, true, run, last});
          i = skipRefBody(f, farEnd + 1);
        }
      }
    } else {
      ++i;
    }
  }
  return true;
}

bool sameName(std::string_view written, bool quoted, std::string_view name) {
  if (!quoted || written.find('\'') == npos) return sameSheetName(written, name);
  std::string plain;
  plain.reserve(written.size());
  for (std::size_t i = 0; i < written.size(); ++i) {
    plain += written[i];
    if (written[i] == '\'') ++i;  // the second of a doubled pair
  }
  return sameSheetName(plain, name);
}

struct Match {
  bool first = false;
  bool last = false;
  bool any() const { return first || last; }
};

Match match(const SheetRef& ref, std::string_view sheet, RetargetMode mode) {
  Match m;
  if (ref.threeD && mode == RetargetMode::Copy) return m;
  m.first = sameName(ref.first, ref.quoted, sheet);
  if (ref.threeD) m.last = sameName(ref.last, ref.quoted, sheet);
  return m;
}

bool needsQuotes(std::string_view name) {
  if (name.empty() || isDigit(name[0]) || name[0] == '.') return true;
  if (looksLikeCellRef(name) || sameSheetName(name, "TRUE") || sameSheetName(name, "FALSE"))
    return true;
  for (std::size_t i = 0; i < name.size();) {
    if (static_cast<unsigned char>(name[i]) < 0x80) {
      const char c = name[i++];
      if (!isAsciiLetter(c) && !isDigit(c) && c != '_' && c != '.') return true;
      continue;
    }
    const std::int32_t cp = nextUtf8(name, i);
    if (cp < 0 || !isLetterOrDigit(cp)) return true;
  }
  return false;
}

void appendQuotedBody(std::string& out, std::string_view name) {
  for (const char c : name) {
    out += c;
    if (c == '\'') out += '\'';
  }
}

// Both ends of a 3-D range share one pair of quotes.
std::string threeDPrefix(const SheetRef& ref, const Match& m, std::string_view to) {
  std::string first = m.first ? std::string(to) : std::string();
  std::string last = m.last ? std::string(to) : std::string();
  auto plain = [&](std::string_view written) {
    std::string s;
    for (std::size_t i = 0; i < written.size(); ++i) {
      s += written[i];
      if (ref.quoted && written[i] == '\'') ++i;
    }
    return s;
  };
  if (!m.first) first = plain(ref.first);
  if (!m.last) last = plain(ref.last);
  if (!needsQuotes(first) && !needsQuotes(last)) return first + ":" + last;
  std::string out = "'";
  appendQuotedBody(out, first);
  out += ':';
  appendQuotedBody(out, last);
  out += '\'';
  return out;
}

}  // namespace

std::string formulaSheetName(std::string_view name) {
  if (!needsQuotes(name)) return std::string(name);
  std::string out;
  out.reserve(name.size() + 2);
  out += '\'';
  appendQuotedBody(out, name);
  out += '\'';
  return out;
}

std::string retargetSheetRefs(std::string_view formula, std::string_view from, std::string_view to,
                              RetargetMode mode) {
  // Most formulas name no sheet at all.
  if (formula.find('!') == npos) return std::string(formula);
  std::string out;
  std::string single;  // `to` as written before "!", made once
  std::size_t copied = 0;
  const bool wellFormed = scanSheetRefs(formula, [&](const SheetRef& ref) {
    const Match m = match(ref, from, mode);
    if (!m.any()) return;
    if (out.empty()) out.reserve(formula.size() + to.size() + 2);
    out.append(formula.substr(copied, ref.begin - copied));
    if (ref.threeD) {
      out += threeDPrefix(ref, m, to);
    } else {
      if (single.empty()) single = formulaSheetName(to);
      out += single;
    }
    copied = ref.end;
  });
  if (!wellFormed || copied == 0) return std::string(formula);
  out.append(formula.substr(copied));
  return out;
}

bool refersToSheet(std::string_view formula, std::string_view sheet, RetargetMode mode) {
  if (formula.find('!') == npos) return false;
  bool found = false;
  const bool wellFormed = scanSheetRefs(formula, [&](const SheetRef& ref) {
    if (!found && match(ref, sheet, mode).any()) found = true;
  });
  return wellFormed && found;
}

bool refersToSheet(std::string_view formula, std::string_view sheet) {
  return refersToSheet(formula, sheet, RetargetMode::Rename);
}

namespace ooxml {

std::string A1References::retarget(std::string_view formula, std::string_view from,
                                   std::string_view to, RetargetMode mode) const {
  return retargetSheetRefs(formula, from, to, mode);
}

bool A1References::refersTo(std::string_view formula, std::string_view sheet,
                            RetargetMode mode) const {
  return refersToSheet(formula, sheet, mode);
}

const FormulaReferences& a1References() {
  static const A1References instance;
  return instance;
}

}  // namespace ooxml

}  // namespace orv
