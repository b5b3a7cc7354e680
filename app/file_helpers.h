#pragma once

#include <QString>

// Shared routines of the module Main that deal with files and the program's
// own folder.
namespace orv {

// The folder that holds the executable, without a trailing separator.
QString applicationFolder();

// True when the entry that `path` names exists and its modification time can
// be read; false for every failure (empty or malformed path, no access).
bool FileExists(QString path);

// True in a development build (ORVANDEL_DEVELOPMENT), false in the delivered
// program.
bool InDevelopmentEnvironment();

}  // namespace orv
