// Real Windows processes for the tests. The stand-in program is copied, under
// the names a test asks for, into a folder of the test's own and started there;
// on destruction whatever was started here and still runs is ended, and the
// folder goes. Nothing else is ever touched.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace adv::test {

// A new folder under the temporary folder, removed with all it holds.
class TempFolder {
public:
    TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    ~TempFolder();

    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// A short text that no other test, nor another run of the tests, uses.
std::wstring uniqueTag();

std::string toUtf8(std::wstring_view text);

enum class StandInMode {
    Visible,     // a shown window, ends on WM_CLOSE
    Hidden,      // a window never shown, ends on WM_CLOSE
    Ignore,      // a shown window that stays open on WM_CLOSE
    Asks,        // a shown window that asks "save the changes?" on WM_CLOSE, and runs while it does
    Windowless,  // no window at all
    ProbeSelf,   // no window; asks the process table for its own name, answer in `marker`
};

// The mode as the stand-in takes it on its command line: "visible", ...
const wchar_t* modeArgument(StandInMode mode);
void PrintTo(StandInMode mode, std::ostream* out);

struct StandIn {
    std::wstring imageName;
    DWORD pid = 0;
    HANDLE process = nullptr;
    std::filesystem::path marker;

    bool running() const;
    // The program received WM_CLOSE.
    bool wasAskedToClose() const;
    // What the program wrote into its marker file; empty when nothing.
    std::string markerText() const;
    // Its exit code once it has ended, waiting at most `limit`.
    std::optional<DWORD> exitCodeWithin(std::chrono::milliseconds limit) const;
};

class StandIns {
public:
    StandIns() = default;
    StandIns(const StandIns&) = delete;
    StandIns& operator=(const StandIns&) = delete;
    ~StandIns();

    // Starts a copy named `imageName` and returns once it can be asked to close.
    // Throws when it cannot be started.
    const StandIn& start(const std::wstring& imageName, StandInMode mode);
    const std::filesystem::path& folder() const { return folder_.path(); }

private:
    TempFolder folder_;
    std::vector<std::unique_ptr<StandIn>> started_;
};

}  // namespace adv::test
