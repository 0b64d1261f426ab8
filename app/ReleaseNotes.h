// The release notes as the update window shows them.
#pragma once

#include <string>

// The lines of a file read in text mode, each followed by CR LF: a line ends
// at LF, a CR directly before it goes with it, a byte 0x1A ends the text, and
// a last line without LF still counts.
std::string ReleaseNotesFromFileBytes(const std::string& bytes);
