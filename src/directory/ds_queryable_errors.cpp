#include "directory/ds_queryable_errors.h"

namespace lockstep {

namespace {

// The description as the platform bridges a plain error enumeration.
constexpr const char* kNotLocalUserDescription =
    "The operation couldn\u2019t be completed. (lockstepd.DSQueryableErrors error 0.)";
constexpr const char* kMultipleUsersFoundDescription =
    "The operation couldn\u2019t be completed. (lockstepd.DSQueryableErrors error 1.)";

}  // namespace

std::string DSQueryableErrors::localizedDescription() const {
    return what();
}

const char* DSQueryableErrors::what() const noexcept {
    switch (kind_) {
        case Case::notLocalUser:
            return kNotLocalUserDescription;
        case Case::multipleUsersFound:
            return kMultipleUsersFoundDescription;
    }
    return kNotLocalUserDescription;
}

}  // namespace lockstep
