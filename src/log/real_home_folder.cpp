#include "log/real_home_folder.h"

#include "platform/user_defaults.h"

namespace lockstep {

std::optional<std::string> MDLRealHomeFolder::realHomeFolder() {
    return homeFolderForUserID(realUserID());
}

}  // namespace lockstep
