#pragma once

// The per-user working directory of the desktop entry: the window started
// from a menu has no meaningful current directory (usually the home folder),
// so it keeps its files in $XDG_DATA_HOME/tidewell instead.

#include <QString>

namespace UserWorkDir {

// $XDG_DATA_HOME/tidewell, by default ~/.local/share/tidewell.
QString path();

// The sample templates installed beside the program (<prefix>/share/tidewell/templates).
QString installedTemplates();

// Creates `dir` and its deviceFolder when missing; a deviceFolder created here
// gets a copy of every template in `templates`. A folder that exists is left
// as the operator keeps it. False, with the reason, when it cannot be made.
bool prepare(const QString &dir, const QString &templates, QString *error);

} // namespace UserWorkDir
