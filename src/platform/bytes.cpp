#include "platform/bytes.h"

#include <openssl/crypto.h>

namespace lockstep {

void secureWipe(void* data, std::size_t length) noexcept {
    if (data != nullptr && length > 0) {
        OPENSSL_cleanse(data, length);
    }
}

}  // namespace lockstep
