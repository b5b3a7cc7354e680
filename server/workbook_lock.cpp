#include "server/workbook_lock.h"

#include "server/durable_file.h"
#include "server/server_error.h"
#include "server/unicode_chars.h"

namespace orv {

namespace {

std::string escapeField(std::string_view field) {
  std::string out;
  for (char c : field) {
    if (c == '\\' || c == ',' || c == ';') out += '\\';
    out += c;
  }
  return out;
}

std::string quoted(const std::string& workbookPath) {
  return "'" + displayName(workbookPath) + "'";
}

constexpr std::size_t kOwnerFileSize = 165;
constexpr std::size_t kOwnerNameMax = 52;
constexpr std::size_t kOwnerWideAt = 55;  // the 16-bit length, then the UTF-16 name

}  // namespace

std::string formatOwnerFile(std::string_view userName) {
  // The name in UTF-16 units, cut between characters at the length office applications allow.
  std::u16string wide;
  for (std::size_t i = 0; i < userName.size();) {
    std::int32_t c = nextUtf8(userName, i);
    if (c < 0) c = 0xFFFD;
    const std::size_t units = c > 0xFFFF ? 2 : 1;
    if (wide.size() + units > kOwnerNameMax) break;
    if (units == 2) {
      wide += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      wide += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      wide += static_cast<char16_t>(c);
    }
  }
  std::string out(kOwnerWideAt, ' ');
  out[0] = static_cast<char>(wide.size());
  for (std::size_t k = 0; k < wide.size(); ++k)
    out[1 + k] = wide[k] < 0x100 ? static_cast<char>(wide[k]) : '?';
  out += static_cast<char>(wide.size());
  out += '\0';
  for (char16_t unit : wide) {
    out += static_cast<char>(unit & 0xFF);
    out += static_cast<char>(unit >> 8);
  }
  while (out.size() + 2 <= kOwnerFileSize) out += std::string(" \0", 2);
  if (out.size() < kOwnerFileSize) out += ' ';
  return out;
}

std::optional<std::string> parseOwnerFile(std::string_view bytes) {
  if (bytes.size() < kOwnerWideAt + 2) return std::nullopt;
  const std::size_t narrowLength = static_cast<unsigned char>(bytes[0]);
  if (narrowLength == 0 || narrowLength > kOwnerNameMax) return std::nullopt;
  std::string name;
  const std::size_t wideLength = static_cast<unsigned char>(bytes[kOwnerWideAt]) |
                                 (static_cast<unsigned char>(bytes[kOwnerWideAt + 1]) << 8);
  const std::size_t wideStart = kOwnerWideAt + 2;
  if (wideLength > 0 && wideLength <= kOwnerNameMax && wideStart + 2 * wideLength <= bytes.size()) {
    for (std::size_t k = 0; k < wideLength; ++k) {
      std::int32_t c = static_cast<unsigned char>(bytes[wideStart + 2 * k]) |
                       (static_cast<unsigned char>(bytes[wideStart + 2 * k + 1]) << 8);
      if (c >= 0xD800 && c <= 0xDBFF && k + 1 < wideLength) {
        const std::int32_t low = static_cast<unsigned char>(bytes[wideStart + 2 * k + 2]) |
                                 (static_cast<unsigned char>(bytes[wideStart + 2 * k + 3]) << 8);
        if (low >= 0xDC00 && low <= 0xDFFF) {
          c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
          ++k;
        }
      }
      if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;
      appendUtf8(name, c);
    }
    return name;
  }
  // Only the 8-bit copy: read as Latin-1.
  if (1 + narrowLength > bytes.size()) return std::nullopt;
  for (std::size_t k = 0; k < narrowLength; ++k)
    appendUtf8(name, static_cast<unsigned char>(bytes[1 + k]));
  return name;
}

bool writtenByThisProgram(const LockOwner& lock, const LockOwner& self) {
  return !self.userUrl.empty() && lock.userUrl == self.userUrl && lock.host == self.host &&
         lock.systemUser == self.systemUser;
}

std::string formatLockEntry(const LockOwner& owner) {
  return escapeField(owner.officeUser) + "," + escapeField(owner.systemUser) + "," +
         escapeField(owner.host) + "," + escapeField(owner.since) + "," +
         escapeField(owner.userUrl) + ";";
}

std::optional<LockOwner> parseLockEntry(std::string_view text) {
  std::string fields[5];
  std::size_t at = 0;
  for (int field = 0; field < 5; ++field) {
    const char end = field == 4 ? ';' : ',';
    for (;;) {
      if (at >= text.size()) return std::nullopt;
      const char c = text[at++];
      if (c == '\\') {
        if (at >= text.size() || std::string_view("\\,;").find(text[at]) == std::string_view::npos)
          return std::nullopt;
        fields[field] += text[at++];
      } else if (c == ',' || c == ';') {
        if (c != end) return std::nullopt;
        break;
      } else {
        fields[field] += c;
      }
    }
  }
  return LockOwner{fields[0], fields[1], fields[2], fields[3], fields[4]};
}

WorkbookLock::WorkbookLock(const std::string& workbookPath) : path_(lockFilePath(workbookPath)) {
  const LockOwner self = ownLockEntry();
  // Two rounds: a lock found abandoned is removed once, and the second creation either holds
  // the workbook or meets the run that took it over first.
  for (int round = 0; round < 2; ++round) {
    if (create(self)) {
      // Holding the workbook, no save of ours can be under way beside it: any temporary file
      // of ours there was left by a save that was killed.
      if (held()) {
        removeLockOnSignal(path_, fd_);  // again for a lock file made without a name first
        removeStaleTemporaryFiles(workbookPath);
      }
      return;
    }
    if (!takeOverAbandoned(self)) break;
  }

  const std::string lockName = displayName(path_);
  const std::optional<LockOwner> owner = holder();
  if (!owner) {
    throw ServerError(quoted(workbookPath) + " is open in another program (its lock file '" +
                      lockName +
                      "' is beside it). Close it there and try again; if no program has it "
                      "open, remove that file.");
  }
  if (writtenByThisProgram(*owner, self)) {
    throw ServerError(quoted(workbookPath) + " is being copied by another run of Orvandel (since " +
                      owner->since + "). Wait for it to finish and try again.");
  }
  std::string who = owner->officeUser.empty() ? owner->systemUser : owner->officeUser;
  // An office owner file names the user only.
  if (who.empty()) who = "another user";
  std::string message = quoted(workbookPath) + " is open in another program (locked by " + who;
  if (!owner->host.empty()) message += " on " + owner->host;
  if (!owner->since.empty()) message += " since " + owner->since;
  message += "). Close it there and try again.";
  if (owner->systemUser == self.systemUser && owner->host == self.host) {
    message += " If it is not open anywhere, remove the lock file '" + lockName + "' beside it.";
  }
  throw ServerError(message);
}

}  // namespace orv
