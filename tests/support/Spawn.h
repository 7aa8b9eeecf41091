// Test fixture: real child processes under names of the test's choosing.
//
// A test that closes processes by name must only ever meet its own children,
// so the names it gives them must be unique (uniqueName), and the files it
// starts live in its own temporary folder (TempDir). The program usually
// started is childProgram(), a tiny idler whose options are listed in
// SpawnChild.cpp (--comm, --on-term, --exit-after-ms, --life, --note).
//
// A Child kills and reaps its process when it goes out of scope, and the idler
// also dies with the thread that spawned it (PR_SET_PDEATHSIG) and ends by
// itself after --life seconds, so a failing or crashing test leaves nothing
// running.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace adv::test {

// A fresh folder under $TMPDIR (or /tmp), removed with its contents on exit.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(std::string_view leaf) const;

private:
    std::string path_;
};

// stem + a token no other running process carries + ext, e.g. "kivo3f2ax1.exe".
// The token is 6 to 10 characters long; keep stem short when the whole name
// must fit in the kernel's 15-character process name.
std::string uniqueName(std::string_view stem, std::string_view ext = ".exe");

// The idler program built with the tests.
std::string childProgram();

enum class Placement { Copy, Symlink };

// Puts `program` into `dir` under `name` and returns the new path.
std::string installAs(const std::string& program, const std::string& dir, std::string_view name,
                      Placement how = Placement::Copy);

// Writes an executable file `name` in `dir` with `text` in it; returns its path.
std::string writeExecutable(const std::string& dir, std::string_view name, std::string_view text);

struct SpawnOptions {
    std::string program;               // path of the file to execute
    std::vector<std::string> args;     // argv[1...]
    std::optional<std::string> argv0;  // argv[0]; the program path when not given
    // Wait until the child writes a byte to its fd 3 (the idler does once it
    // is set up; a script can `printf R >&3`). Without it the child may not
    // even have exec'd when spawn() returns.
    bool waitReady = true;
    std::chrono::milliseconds readyTimeout{10000};
};

// One spawned child, killed and reaped on destruction unless it already was.
class Child {
public:
    Child() = default;
    explicit Child(pid_t pid) : pid_(pid) {}
    Child(Child&& other) noexcept;
    Child& operator=(Child&& other) noexcept;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child();

    pid_t pid() const { return pid_; }

    // Not yet ended. Reaps the child when it has.
    bool running();
    // Waits up to `timeout` for the child to end and reaps it. True if it did.
    bool waitExit(std::chrono::milliseconds timeout);
    // Waits until the child has ended but leaves it unreaped: a zombie.
    bool waitZombie();
    // SIGKILL, then reap.
    void kill();

    bool exitedWith(int code) const;
    bool killedBy(int signal) const;
    // "running", "exited 0", "killed by signal 9": for failure messages.
    std::string describe() const;

private:
    void reapNow();

    pid_t pid_ = -1;
    bool reaped_ = false;
    int status_ = 0;
};

// Starts a child; throws std::runtime_error when it cannot be started or does
// not report ready in time.
Child spawn(const SpawnOptions& options);

// childProgram() placed in `dir` as `name` and started with `args`.
Child spawnNamed(const std::string& dir, std::string_view name, std::vector<std::string> args = {},
                 Placement how = Placement::Copy, std::optional<std::string> argv0 = std::nullopt);

}  // namespace adv::test
