// Deleting files and folders of the install folder through the shell.
#pragma once

#include <string>

// Deletes a file or a whole folder tree silently; true when the shell reports
// success. Refuses (false) an empty path and any path not strictly inside the
// install folder.
bool DeletePath(std::string path);

// A module that an interrupted installation left only under its ".del" name
// is put back, so that every module has a copy before a run compares them.
void RestoreSetAsideModules();
