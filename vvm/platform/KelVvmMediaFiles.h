// KelVvmMediaFiles: which names and paths the service may create or remove in its media folder.
#ifndef KELVVMMEDIAFILES_H
#define KELVVMMEDIAFILES_H

#include <string>

// True when `name` can stand as one file name directly inside a folder: not empty, not "." or
// "..", no "/" or NUL, and no longer than a file name may be. Names from the server (call
// identifiers) must pass before they become part of a path.
bool isPlainFileName(const std::string& name);

// True when `path` names a file directly inside `folder` (which ends with "/"): the rest of the
// path is a plain file name. Paths read from the database must pass before a file is removed,
// since anyone able to write the database could otherwise name any file.
bool isFileInFolder(const std::string& path, const std::string& folder);

// Removes the file a record names, only when it lies directly inside the media folder; an empty
// path, a file gone already or one that cannot be removed changes nothing.
void removeMediaFile(const std::string& path);

// Removes every regular file directly inside the media folder whose name ends with an audio
// extension of the service (".amr", ".wav", ".mp3"), whether a record names it or not; other
// files and folders stay.
void removeEveryAudioFile();

#endif
