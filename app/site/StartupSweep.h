// The start-up sweep: tick the installed products, close their programs.
#pragma once

#include <QStringList>

#include <array>
#include <filesystem>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "app/core/ProductTable.h"
#include "process/DoroDave.h"

namespace adv {

// A product check box; the window's QCheckBox and the tests' fakes both fit.
class CheckBox {
public:
    virtual ~CheckBox() = default;
    virtual short value() const = 0;  // 0 clear, 1 ticked
    virtual void setValue(short value) = 0;
};

// Closes the running programs of the given executable names, all at once.
class Terminator {
public:
    virtual ~Terminator() = default;
    virtual TerminateReport terminate(std::span<const std::string_view> names) = 0;
    // Where an operator is there to answer: asked before a program that may
    // be asking its user whether to save is ended by force. None: forced.
    void askBeforeForcing(MayForce mayForce) { mayForce_ = std::move(mayForce); }

protected:
    const MayForce& mayForce() const { return mayForce_; }

private:
    MayForce mayForce_;
};

// 1 when `path` (rooted at the drive) names an ordinary file under `root`, else 0.
short ProbeInstalled(const std::filesystem::path& root, std::string_view path);

// The products' check boxes, in table order.
using ProductCheckBoxes = std::array<CheckBox*, kProducts.size()>;

// Probes all four products first and stores the results, then reads each box
// back and closes the ticked products' programs, in table order, then the one
// program that is always closed: all of them in one call of the terminator.
// Returns what the terminator did.
TerminateReport StartupSweep(const std::filesystem::path& root, const ProductCheckBoxes& boxes, Terminator& terminator);

// Its two halves, for a nightly run that closes only when it will install:
// the probes, stored in the boxes; then the closing, of the ticked products'
// programs and the one always closed.
void ProbeProducts(const std::filesystem::path& root, const ProductCheckBoxes& boxes);
TerminateReport CloseTicked(const ProductCheckBoxes& boxes, Terminator& terminator);

// One line per program left running and reason, in Italian: "dolvo.exe non
// si è potuto chiudere (processi 41, 42): ...".
QStringList notClosedLines(std::span<const LeftRunning> left);

// What the operator is told first of a sweep: notClosedLines, then one line
// per program ended without being asked: "Vudarav.exe è stato chiuso senza
// poterglielo chiedere (processo 1234): il lavoro non salvato è perso", then
// one per program ended after the grace, or at once by a zero grace:
// "ketra2.exe è stato chiuso forzatamente (processo 1234): il lavoro non
// salvato potrebbe essere perso".
QStringList sweepLines(const TerminateReport& report);

}  // namespace adv
