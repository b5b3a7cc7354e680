#include "server/biff/formula.h"

#include <cstdio>

#include "server/biff/records.h"

namespace orv::biff {

namespace {

std::string hex(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", value);
  return text;
}

// The size of the token at d[at], reading no further than `end`; 0 when unknown.
size_t tokenSize(const std::string& d, size_t at, size_t end) {
  const unsigned ptg = static_cast<unsigned char>(d[at]);
  const auto need = [&](size_t n) {
    if (end - at < n) throw RecordError{"a formula token is cut short"};
  };
  if (ptg < 0x20) {
    switch (ptg) {
      case 0x01:  // PtgExp
      case 0x02:  // PtgTbl
        return 5;
      case 0x17: {  // PtgStr: cch, flags, characters
        need(3);
        const size_t cch = static_cast<unsigned char>(d[at + 1]);
        return 3 + cch * ((d[at + 2] & 1) ? 2 : 1);
      }
      case 0x19: {  // PtgAttr
        need(4);
        const unsigned flags = static_cast<unsigned char>(d[at + 1]);
        if (flags & 0x04) return 4 + 2 * (size_t{get16(d, at + 2)} + 1);  // tAttrChoose
        return 4;
      }
      case 0x1C:  // PtgErr
      case 0x1D:  // PtgBool
        return 2;
      case 0x1E:  // PtgInt
        return 3;
      case 0x1F:  // PtgNum
        return 9;
      default:
        if (ptg >= 0x03 && ptg <= 0x16) return 1;  // operators, parentheses, missing argument
        return 0;
    }
  }
  switch (ptg & 0x1F) {  // classed tokens: the class (reference, value, array) is in bits 5-6
    case 0x00:
      return 8;  // PtgArray (its values follow the tokens)
    case 0x01:
      return 3;  // PtgFunc
    case 0x02:
      return 4;  // PtgFuncVar
    case 0x03:
      return 5;  // PtgName
    case 0x04:
      return 5;  // PtgRef
    case 0x05:
      return 9;  // PtgArea
    case 0x06:   // PtgMemArea
    case 0x07:   // PtgMemErr
    case 0x08:
      return 7;  // PtgMemNoMem; the tokens of the expression follow as usual
    case 0x09:
      return 3;  // PtgMemFunc
    case 0x0A:
      return 5;  // PtgRefErr
    case 0x0B:
      return 9;  // PtgAreaErr
    case 0x0C:
      return 5;  // PtgRefN
    case 0x0D:
      return 9;  // PtgAreaN
    case 0x19:
      return 7;  // PtgNameX
    case 0x1A:
      return 7;  // PtgRef3d
    case 0x1B:
      return 11;  // PtgArea3d
    case 0x1C:
      return 7;  // PtgRefErr3d
    case 0x1D:
      return 11;  // PtgAreaErr3d
    default:
      return 0;
  }
}

}  // namespace

void walkFormula(std::string& d, size_t at, size_t cce, const FormulaRemap* remap) {
  if (at > d.size() || d.size() - at < cce) throw RecordError{"a formula is cut short"};
  const size_t end = at + cce;
  while (at < end) {
    const size_t size = tokenSize(d, at, end);
    if (size == 0)
      throw RecordError{
          "a formula token Orvandel does not know (" + hex(static_cast<unsigned char>(d[at])) + ")",
          true};
    if (end - at < size) throw RecordError{"a formula token is cut short"};
    const unsigned ptg = static_cast<unsigned char>(d[at]);
    if (remap && ptg >= 0x20) {
      const unsigned base = ptg & 0x1F;
      if (base >= 0x1A && remap->xti) {
        put16(d, at + 1, remap->xti(get16(d, at + 1)));
      } else if (base == 0x19) {
        const std::uint16_t ixti = get16(d, at + 1);
        if (remap->nameX) put32(d, at + 3, remap->nameX(ixti, get32(d, at + 3)));
        if (remap->xti) put16(d, at + 1, remap->xti(ixti));
      } else if (base == 0x03 && remap->name) {
        put32(d, at + 1, remap->name(get32(d, at + 1)));
      }
    }
    at += size;
  }
}

}  // namespace orv::biff
