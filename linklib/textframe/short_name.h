// Names in 8.3 form for handhelds of variant 4.
#pragma once

#include <string>

namespace tarvix::tf {

// "\APP\LONGFILENAME.TXT" becomes "\APP\LONGFI~1.TXT", "\APP\DATA.JSON" "\APP\DATA.JSO"; names that
// fit stay.  Only '\' separates folders here.
std::string MakeShortName(const std::string& name);

}  // namespace tarvix::tf
