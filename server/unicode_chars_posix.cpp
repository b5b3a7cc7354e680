// Unicode properties from ICU.
#include <unicode/uchar.h>

#include "server/unicode_chars.h"

namespace orv {

std::int32_t foldCase(std::int32_t c) { return u_foldCase(c, U_FOLD_CASE_DEFAULT); }

bool isLetterOrDigit(std::int32_t c) { return u_isalpha(c) || u_isdigit(c); }

}  // namespace orv
