#pragma once

#include <QString>
#include <memory>

class QSettings;

namespace orv {

// Every value the tool keeps, with its key and the text read when the key is absent.
enum class Setting {
  Text1,      // the workbook path (stored on every change, never put back at start)
  Text2,      // the number of copies
  Text3,      // the naming pattern
  Check1,     // whether to name the copies: 0 no, 1 yes, 2 greyed
  ShowAgain,  // 1 hides the splash window
};

// The per-user settings store: text values under the application name
// "Venmora", the section "Orvandel" and a key. Every write reaches the disk
// before write() returns; every read asks the store afresh.
class SettingsStore {
 public:
  // The current user's own store.
  SettingsStore();
  // A store kept in the INI file `path` (tests, portable setups).
  explicit SettingsStore(const QString& path);
  ~SettingsStore();

  // The stored text, or the setting's default when its key is absent. A key present with the
  // empty text gives the empty text.
  QString read(Setting setting) const;
  // Throws std::runtime_error when the value cannot be stored.
  void write(Setting setting, const QString& value);

  // The same by key, for keys outside the table (tests, hand-edited stores).
  QString read(const QString& key, const QString& defaultValue) const;
  void write(const QString& key, const QString& value);

  static QString keyOf(Setting setting);
  static QString defaultOf(Setting setting);
  // Where the values are kept.
  QString location() const;

 private:
  std::unique_ptr<QSettings> settings_;
};

}  // namespace orv
