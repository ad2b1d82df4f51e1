#pragma once

// The verdict on a candidate password against an account's stored password
// field and aging data, with the directory service's credential codes.

#include <cstdint>
#include <string_view>

#include "platform/directory/account_files.h"

namespace lockstep::password_check {

// 0 when the password is accepted; otherwise one of kODErrorCredentials*:
// - AccountDisabled: the field holds no hash ("", "*…", "!", "!!", "!*", a
//   "!" not followed by a hash); an account without a password accepts
//   nothing;
// - AccountLocked: a hash behind one or more "!";
// - AccountExpired: the shadow expiration date has come (day >= date);
// - AccountInactive: the password expired and the inactivity period after it
//   has passed as well;
// - MethodNotSupported: libxcrypt cannot hash with the stored setting;
// - Invalid: the password does not match (also a candidate holding a NUL
//   byte or longer than any passphrase libxcrypt hashes).
// Account states are judged before the password, so their verdict does not
// depend on the candidate. `shadow` is null when the account has no shadow
// entry; `today` counts days since 1970-01-01.
[[nodiscard]] std::int64_t verify(std::string_view storedField,
                                  const account_files::ShadowEntry* shadow,
                                  std::string_view password, std::int64_t today);

// Whether the text has the form of a crypt(3) hash ("$id$…", "_…" or a
// traditional 13-character DES hash).
[[nodiscard]] bool looksLikeHash(std::string_view text);

}  // namespace lockstep::password_check
