// Saving a whole file so that a crash or a power loss leaves either the old or the new content,
// never a mix and never an empty file.
#pragma once

#include <string>
#include <string_view>

// Writes strData to "<path>.tmp.<pid>" beside the target, fsyncs it, renames it over the target
// and fsyncs the directory, in that order. On any failure the temporary file is removed, the
// target is untouched and false is returned (errno tells why). uiMode: the new file's mode.
bool QV_SaveFile(const std::string &strPath, std::string_view strData, unsigned uiMode = 0644);

// Removes the temporary files QV_SaveFile leaves when the process dies mid-save
// ("<name>.tmp.<digits>") from a directory, so that nothing ever reads one. The count removed.
unsigned QV_RemoveStaleSaves(const std::string &strDirectory);
