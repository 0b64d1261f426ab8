// The release notes: fetched at start-up in the interactive modes, and
// turned into the text the update window shows.
#pragma once

#include <string>
#include <vector>

// The lines of a file read in text mode, each followed by CR LF: a line ends
// at LF, a CR directly before it goes with it, a byte 0x1A ends the text, and
// a last line without LF still counts.
std::string ReleaseNotesFromFileBytes(const std::string& bytes);

// The notes at the first of `bases` that answers (the entry points' bases),
// fetched through the install folder `folder` within a few seconds and a
// megabyte; the empty string on any failure. With release keys, only notes
// that the signed manifest beside them vouches for are shown.
std::string FetchReleaseNotes(const std::vector<std::string>& bases, const std::wstring& folder,
                              const std::vector<std::string>& releaseKeys);
