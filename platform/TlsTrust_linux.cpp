#include "platform/TlsTrust.h"

namespace adv::platform {

// libcurl's OpenSSL already verifies against the system's store.
bool useSystemVerifier(CURL*, SystemTrust&)
{
    return true;
}

}  // namespace adv::platform
