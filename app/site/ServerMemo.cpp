#include "app/site/ServerMemo.h"

#include <algorithm>
#include <charconv>

#include "app/channel/ServerLayout.h"
#include "app/core/Config.h"
#include "platform/Strings.h"

namespace adv {
namespace {

constexpr std::string_view kHeader = "AggiornaDV server memo 1";

bool number(std::string_view text, std::int64_t& out)
{
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
    return !text.empty() && error == std::errc{} && end == text.data() + text.size() && out >= 0;
}

// "<key> -" or "<key> <size> <time>[ <hash>]".
bool facts(std::string_view line, std::string_view key, std::optional<ServerFacts>& out, std::string* hash)
{
    const auto parts = platform::split(line, ' ');
    if (parts.empty() || parts[0] != key)
        return false;
    if (parts.size() == 2 && parts[1] == "-")
        return true;
    ServerFacts read;
    if (parts.size() != (hash ? 4U : 3U) || !number(parts[1], read.size) || !number(parts[2], read.modified))
        return false;
    if (hash) {
        if (parts[3].size() != 128 || !std::all_of(parts[3].begin(), parts[3].end(), platform::isLowerHexDigit))
            return false;
        *hash = std::string(parts[3]);
    }
    out = read;
    return true;
}

std::string line(std::string_view key, const std::optional<ServerFacts>& facts, const std::string* hash)
{
    if (!facts)
        return std::string(key) + " -\n";
    return std::string(key) + " " + std::to_string(facts->size) + " " + std::to_string(facts->modified) +
           (hash ? " " + *hash : std::string()) + "\n";
}

}  // namespace

std::optional<ServerMemo> ServerMemo::parse(std::string_view text)
{
    ServerMemo memo;
    std::size_t at = 0;
    const auto next = [&]() -> std::optional<std::string_view> {
        const std::size_t end = text.find('\n', at);
        if (end == std::string_view::npos)
            return std::nullopt;
        const std::string_view read = text.substr(at, end - at);
        at = end + 1;
        return read;
    };
    const auto header = next(), server = next(), index = next(), program = next(), blank = next();
    if (!header || *header != kHeader || !server || !server->starts_with("server ") || !index ||
        !facts(*index, "index", memo.index, nullptr) || !program ||
        !facts(*program, "program", memo.program, &memo.programHash) || !blank || !blank->empty() ||
        text.size() > maxMemoBytes())
        return std::nullopt;
    memo.server = std::string(server->substr(7));
    memo.indexText = std::string(text.substr(at));
    return memo;
}

std::string ServerMemo::text() const
{
    return std::string(kHeader) + "\nserver " + server + "\n" + line("index", index, nullptr) +
           line("program", program, &programHash) + "\n" + indexText;
}

std::string memoServer(const Config& config)
{
    return config.host + ":" + std::to_string(config.ftp.port) + "/" + config.remoteFolder;
}

std::size_t maxMemoBytes()
{
    return kMaxIndexBytes + 1024;
}

}  // namespace adv
