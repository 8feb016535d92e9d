// The two settings, kept per user: HKCU\Software\Quorvex\Tabulonix on Windows, a file in the
// user's configuration folder elsewhere.
#pragma once

#include <QString>

namespace tabulon::settings {

struct Settings {
    QString saveFolder;  // ends with the native separator
    QString suffix;
};

// The Documents folder, or the home folder while that does not exist, with a trailing separator.
QString DefaultSaveFolder();
inline const QString kDefaultSuffix = QStringLiteral("_repaired");

// Missing or unreadable values give the defaults.
Settings LoadSettings();
// Creates the store where it does not exist yet.
void StoreSettings(const Settings& settings);

}  // namespace tabulon::settings
