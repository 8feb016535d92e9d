#include "settings_store.h"

#include <QDir>
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
    QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (documents.isEmpty())
        documents = QDir::homePath();
    return QDir::toNativeSeparators(QDir::cleanPath(documents)) + QDir::separator();
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
