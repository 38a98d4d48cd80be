#include "api/start.h"

#include "api/families.h"
#include "byteframe/byteframe.h"
#include "platform/instance.h"
#include "platform/prompt.h"
#include "textframe/link_status.h"
#include "textframe/textframe.h"

namespace tarvix {

void LibraryAttach() {
    platform::BindHostHooks();
    Tf().ConvertLanguage();  // the text-frame message table
    tf::Attach();
    tf::LoadSettings();
    Bf().ConvertLanguage();  // the byte-frame message table
    bf::Attach();
    platform::AttachInstanceData();
}

void LibraryDetach() {
    // Workers first: what they use must outlive them.
    bf::Detach();
    tf::Detach();
    platform::DetachInstanceData();
}

}  // namespace tarvix
