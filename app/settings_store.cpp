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

QString SettingsStore::location() const { return settings_->fileName(); }

}  // namespace orv
