// Names and folders that a handheld hands us for PC files (the [receive] part of a MIF file it
// keeps).  The handheld is outside input: what it names must stay inside the folder the package
// names, so only plain names and folders below a base are taken.
#pragma once

#include <string_view>

namespace tarvix {

// A plain file name: no '/' or '\' (no folder part), no ':' (no drive, no stream) and no ".."
// anywhere in it.  The empty name is not plain.
bool IsPlainName(std::string_view name);

// A folder that lies below its base folder: relative (no leading '/' or '\', no drive, no ':' at
// all) and without a ".." step.  "." steps are fine; the empty folder is the base itself.
bool IsFolderBelowBase(std::string_view folder);

// Two names alike letter for letter, ASCII letters in either case (handhelds keep names without
// regard to case).
bool SameNameIgnoringCase(std::string_view a, std::string_view b);

}  // namespace tarvix
