#include "app/core/PublicKey.h"

#include <sodium.h>

#include <cstring>
#include <vector>

#include "app/core/KeyValueText.h"

namespace adv::minisign {

bool decodeBase64(std::string_view text, unsigned char* out, std::size_t size)
{
    std::size_t length = 0;
    const char* end = nullptr;
    std::vector<unsigned char> buffer(size + 3);
    if (sodium_base642bin(buffer.data(), buffer.size(), text.data(), text.size(), nullptr, &length, &end,
                          sodium_base64_VARIANT_ORIGINAL) != 0)
        return false;
    if (end != text.data() + text.size() || length != size)
        return false;
    std::memcpy(out, buffer.data(), size);
    return true;
}

std::optional<PublicKey> parsePublicKey(std::string_view base64)
{
    unsigned char raw[2 + 8 + 32];
    if (!decodeBase64(trimmed(base64), raw, sizeof raw) || raw[0] != 'E' || raw[1] != 'd')
        return std::nullopt;
    PublicKey key;
    std::memcpy(key.id.data(), raw + 2, key.id.size());
    std::memcpy(key.key.data(), raw + 10, key.key.size());
    return key;
}

}  // namespace adv::minisign
