// The start-up sweep: tick the installed products, close their programs.
#pragma once

#include <array>
#include <filesystem>
#include <string_view>
#include <vector>

#include "process/DoroDave.h"

namespace adv {

// A product check box; the window's QCheckBox and the tests' fakes both fit.
class CheckBox {
public:
    virtual ~CheckBox() = default;
    virtual short value() const = 0;  // 0 clear, 1 ticked
    virtual void setValue(short value) = 0;
};

// Closes the running programs of one executable name.
class Terminator {
public:
    virtual ~Terminator() = default;
    virtual TerminateReport terminate(std::string_view name) = 0;
};

// 1 when `path` (rooted at the drive) names an ordinary file under `root`, else 0.
short ProbeInstalled(const std::filesystem::path& root, std::string_view path);

// The check boxes of the four products, in table order (dv, tv, kv, kvw).
using ProductCheckBoxes = std::array<CheckBox*, 4>;

// A program of which some running copies could not be closed.
struct NotClosed {
    std::string_view name;
    TerminateReport report;
};

// Probes all four products first and stores the results, then reads each box
// back and closes the ticked product's programs in table order, then the one
// program that is always closed. Returns the programs left running.
std::vector<NotClosed> StartupSweep(const std::filesystem::path& root, const ProductCheckBoxes& boxes,
                                    Terminator& terminator);

}  // namespace adv
