// What a site remembers of the server from one run to the next, kept beside
// the program (dolvo.exe.server): the size and time the server gave for the
// maker's index, with the index's text, so that an unchanged night asks
// about the index and fetches nothing; and, for a program taken without
// index or key, the size and time the server gave for dolvo.exe and the hash
// of the file installed from it, so that an unchanged program is known as
// current without downloading it again.
//
// A cache, never a proof: a memo that does not read, or is of another
// server, is no memo; an index taken from it is checked as one fetched.
//
//   AggiornaDV server memo 1
//   server <host>:<port>/<folder>
//   index <size> <time> | index -
//   program <size> <time> <BLAKE2b-512 hex> | program -
//   (an empty line, then the index's text)
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace adv {

struct Config;

// The size and time the server gives for a file; both, or it is not known.
struct ServerFacts {
    std::int64_t size = 0;
    std::int64_t modified = 0;
    bool operator==(const ServerFacts&) const = default;
};

struct ServerMemo {
    std::string server;
    std::optional<ServerFacts> index;
    std::string indexText;
    std::optional<ServerFacts> program;
    std::string programHash;

    static std::optional<ServerMemo> parse(std::string_view text);
    std::string text() const;
};

// The server and folder `config` names, as a memo keeps it.
std::string memoServer(const Config& config);

// The most a memo may hold: an index and its lines.
std::size_t maxMemoBytes();

}  // namespace adv
