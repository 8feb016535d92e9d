#include "ui/settings/settings_store.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

#include <memory>

namespace tabulon::settings {
namespace {

std::unique_ptr<QSettings> Store()
{
    auto store = std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Quorvex"),
                                             QStringLiteral("Tabulonix"));
    store->setFallbacksEnabled(false);
    return store;
}

QString ReadText(const QSettings& store, const QString& name, const QString& fallback)
{
    const QVariant value = store.value(name);
    return value.metaType().id() == QMetaType::QString ? value.toString() : fallback;
}

}  // namespace

QString DefaultSaveFolder()
{
    // Many desktops never create the Documents folder; offering one that is not there would
    // make the first save fail.
    QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (folder.isEmpty() || !QFileInfo(folder).isDir())
        folder = QDir::homePath();
    folder = QDir::toNativeSeparators(QDir::cleanPath(folder));
    if (!folder.endsWith(QDir::separator()))  // the root folder has its separator already
        folder += QDir::separator();
    return folder;
}

Settings LoadSettings()
{
    const auto store = Store();
    return {ReadText(*store, QStringLiteral("SaveFolder"), DefaultSaveFolder()),
            ReadText(*store, QStringLiteral("Suffix"), kDefaultSuffix)};
}

void StoreSettings(const Settings& settings)
{
    const auto store = Store();
    store->setValue(QStringLiteral("SaveFolder"), settings.saveFolder);
    store->setValue(QStringLiteral("Suffix"), settings.suffix);
    store->sync();
}

}  // namespace tabulon::settings
