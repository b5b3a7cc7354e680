#pragma once

#include <QString>
#include <memory>

class QSettings;

namespace orv {

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

  // The stored text, or `defaultValue` when the key is absent. A key present
  // with the empty text gives the empty text.
  QString read(const QString& key, const QString& defaultValue) const;
  // Throws std::runtime_error when the value cannot be stored.
  void write(const QString& key, const QString& value);
  // Where the values are kept.
  QString location() const;

 private:
  std::unique_ptr<QSettings> settings_;
};

}  // namespace orv
