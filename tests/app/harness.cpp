#include "harness.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace orv::test {

Harness::Harness() {
  QDir().mkpath(appFolder());
  settings = std::make_unique<SettingsStore>(settingsFile());
}

Services Harness::services() {
  return Services{boxes,
                  fileDialog,
                  processes,
                  web,
                  clock,
                  random,
                  *settings,
                  [this]() -> std::unique_ptr<Application> {
                    if (serverFails) throw ServerError("No engine today.");
                    ++serversCreated;
                    return createApplication();
                  },
                  [this] { return appFolder(); },
                  [this](int code) { endCodes.push_back(code); }};
}

QString Harness::writeAppFile(const QString& relative, const QByteArray& bytes) const {
  const QString path = appFolder() + "/" + relative;
  QDir().mkpath(QFileInfo(path).path());
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
    throw std::runtime_error("cannot write test file");
  }
  return path;
}

QString stored(Harness& h, const QString& key) {
  return h.settings->read(key, QStringLiteral("<absent>"));
}

}  // namespace orv::test
