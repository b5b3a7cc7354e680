#include "app/settings_store.h"

#include "app/user_settings.h"

#include <QSettings>
#include <QStringList>
#include <stdexcept>

namespace orv {

namespace {

const char kApplicationName[] = "Venmora";
const char kSection[] = "Orvandel";

QString sectionKey(const QString& key) { return QString::fromLatin1(kSection) + '/' + key; }

struct KeyRow {
  Setting setting;
  const char* key;
  const char* defaultValue;
};

// The one table of keys and defaults.
constexpr KeyRow kKeys[] = {
    {Setting::Text1, "Text1", ""},
    {Setting::Text2, "Text2", "5"},
    {Setting::Text3, "Text3", "MySheet[x]"},
    {Setting::Check1, "Check1", "0"},
    {Setting::ShowAgain, "ShowAgain", "0"},
};

const KeyRow& rowOf(Setting setting) {
  for (const KeyRow& row : kKeys)
    if (row.setting == setting) return row;
  throw std::logic_error("a setting without a row in the key table");
}

}  // namespace

SettingsStore::SettingsStore()
    : settings_(openUserSettings(QString::fromLatin1(kApplicationName))) {}

SettingsStore::SettingsStore(const QString& path)
    : settings_(std::make_unique<QSettings>(path, QSettings::IniFormat)) {}

SettingsStore::~SettingsStore() = default;

QString SettingsStore::read(const QString& key, const QString& defaultValue) const {
  // Another instance may have written since we last looked.
  settings_->sync();
  const QString k = sectionKey(key);
  if (!settings_->contains(k)) return defaultValue;
  const QVariant v = settings_->value(k);
  // A hand-edited file may hold an unquoted "a, b", which reads as a list.
  if (v.typeId() == QMetaType::QStringList) return v.toStringList().join(QStringLiteral(", "));
  return v.toString();
}

void SettingsStore::write(const QString& key, const QString& value) {
  settings_->setValue(sectionKey(key), value);
  settings_->sync();
  if (settings_->status() != QSettings::NoError) {
    throw std::runtime_error("The setting \"" + key.toStdString() + "\" could not be saved to " +
                             settings_->fileName().toStdString() +
                             ": the settings file cannot be written.");
  }
}

QString SettingsStore::keyOf(Setting setting) { return QString::fromLatin1(rowOf(setting).key); }

QString SettingsStore::defaultOf(Setting setting) {
  return QString::fromUtf8(rowOf(setting).defaultValue);
}

QString SettingsStore::read(Setting setting) const {
  return read(keyOf(setting), defaultOf(setting));
}

void SettingsStore::write(Setting setting, const QString& value) { write(keyOf(setting), value); }

QString SettingsStore::location() const { return settings_->fileName(); }

}  // namespace orv
