// The start-up sweep against recording fakes, and the probe on real folders.
#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/site/StartupSweep.h"
#include "tests/support/FileSetup.h"

namespace fs = std::filesystem;
using adv::CheckBox;

namespace {

// One log for boxes and terminator, so the order between them is visible.
using Events = std::vector<std::string>;

class RecordingBox final : public CheckBox {
public:
    RecordingBox(std::string name, Events& events) : name_(std::move(name)), events_(events) {}
    short value() const override { return value_; }
    void setValue(short v) override
    {
        value_ = v;
        events_.push_back("set " + name_ + "=" + std::to_string(v));
    }

private:
    std::string name_;
    Events& events_;
    short value_ = 0;
};

class RecordingTerminator final : public adv::Terminator {
public:
    explicit RecordingTerminator(Events& events) : events_(events) {}
    adv::TerminateReport terminate(std::span<const std::string_view> names) override
    {
        ++calls;
        for (const std::string_view name : names)
            events_.push_back("close " + std::string(name));
        return {};
    }
    int calls = 0;

private:
    Events& events_;
};

// Windows' own links cannot be made under Wine; the fixture's are seen as such.
void link(const fs::path& target, const fs::path& name)
{
    ASSERT_TRUE(adv::test::makeSymlink(QString::fromStdU16String(target.u16string()),
                                       QString::fromStdU16String(name.u16string())));
}

void touch(const fs::path& file)
{
    fs::create_directories(file.parent_path());
    std::ofstream(file) << "MZ";
}

struct SweepCase {
    const char* label;
    std::vector<std::string> files;  // relative to the root
    std::vector<short> ticks;        // dv, tv, kv, kvw
    std::vector<std::string> closed;
};

const std::vector<std::string> kEverything{
    "dolvo.exe",    "ketra2.exe",  "ketra3.exe",   "orbaval.exe", "nodorep.exe",    "lettovia.exe", "nodoart.exe",
    "trevanto.exe", "lettovi.exe", "lettovi2.exe", "Kivo.exe",    "kivoavvisi.exe", "vidorizu.exe", "Vudarav.exe"};

class SweepTest : public ::testing::TestWithParam<SweepCase> {};

TEST_P(SweepTest, TicksInstalledProductsAndClosesTheirPrograms)
{
    const SweepCase& c = GetParam();
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const fs::path root = dir.path().toStdString();
    for (const auto& f : c.files)
        touch(root / f);

    Events events;
    RecordingBox dv("dv", events), tv("tv", events), kv("kv", events), kvw("kvw", events);
    RecordingTerminator terminator(events);
    adv::StartupSweep(root, {&dv, &tv, &kv, &kvw}, terminator);

    EXPECT_EQ((std::vector<short>{dv.value(), tv.value(), kv.value(), kvw.value()}), c.ticks);

    // All four stores come first, then the closing calls in table order.
    ASSERT_EQ(events.size(), 4 + c.closed.size());
    for (std::size_t i = 0; i < 4; ++i)
        EXPECT_EQ(events[i].rfind("set ", 0), 0u) << events[i];
    std::vector<std::string> closed;
    for (std::size_t i = 4; i < events.size(); ++i)
        closed.push_back(events[i].substr(6));
    EXPECT_EQ(closed, c.closed);
    EXPECT_EQ(terminator.calls, 1) << "the programs are not asked all at once";
}

INSTANTIATE_TEST_SUITE_P(
    Table, SweepTest,
    ::testing::Values(SweepCase{"nothing", {}, {0, 0, 0, 0}, {"Vudarav.exe"}},
                      SweepCase{"onlyKivoWifi", {"kivo/vidorizu.exe"}, {0, 0, 0, 1}, {"vidorizu.exe", "Vudarav.exe"}},
                      // Exact names: closing Kivo no longer takes vidorizu.exe with it.
                      SweepCase{
                          "onlyKivo", {"kivo/Kivo.exe"}, {0, 0, 1, 0}, {"Kivo.exe", "kivoavvisi.exe", "Vudarav.exe"}},
                      SweepCase{"trevantoLowerCaseTree",
                                {"TREVANTO/Trevanto.EXE"},
                                {0, 1, 0, 0},
                                {"trevanto.exe", "lettovi.exe", "lettovi2.exe", "Vudarav.exe"}},
                      SweepCase{"everything",
                                {"dolvo/dolvo.exe", "trevanto/trevanto.exe", "kivo/Kivo.exe", "kivo/vidorizu.exe"},
                                {1, 1, 1, 1},
                                kEverything}),
    [](const auto& row) { return std::string(row.param.label); });

// The closing phase trusts the check box, not the probe: what the box reads
// back is what gets closed.
TEST(Sweep, ClosingPhaseReadsTheBoxesBack)
{
    class StubbornBox final : public CheckBox {
    public:
        short value() const override { return 1; }
        void setValue(short) override {}
    };
    Events events;
    StubbornBox dv, tv, kv;
    RecordingBox kvw("kvw", events);
    RecordingTerminator terminator(events);
    QTemporaryDir dir;
    adv::StartupSweep(dir.path().toStdString(), {&dv, &tv, &kv, &kvw}, terminator);
    EXPECT_EQ(events.size(), 1u + 7 + 3 + 2 + 1);
    EXPECT_EQ(events.back(), "close Vudarav.exe");
}

struct ProbeCase {
    const char* label;
    const char* probe;
    void (*make)(const fs::path& root);
    short expected;
};

class ProbeTest : public ::testing::TestWithParam<ProbeCase> {};

TEST_P(ProbeTest, OnlyOrdinaryFilesCount)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const fs::path root = dir.path().toStdString();
    GetParam().make(root);
    EXPECT_EQ(adv::ProbeInstalled(root, GetParam().probe), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Tree, ProbeTest,
    ::testing::Values(
        ProbeCase{"file", "\\dolvo\\dolvo.exe", [](const fs::path& r) { touch(r / "dolvo/dolvo.exe"); }, 1},
        ProbeCase{"folderOfThatName", "\\dolvo\\dolvo.exe",
                  [](const fs::path& r) { fs::create_directories(r / "dolvo/dolvo.exe"); }, 0},
        ProbeCase{"missing", "\\dolvo\\dolvo.exe", [](const fs::path& r) { fs::create_directories(r / "dolvo"); }, 0},
        ProbeCase{"missingFolder", "\\dolvo\\dolvo.exe", [](const fs::path&) {}, 0},
        ProbeCase{"lowerCaseOnDisk", "\\kivo\\Kivo.exe", [](const fs::path& r) { touch(r / "kivo/kivo.exe"); }, 1},
        ProbeCase{"upperCaseFolder", "\\kivo\\Kivo.exe", [](const fs::path& r) { touch(r / "KIVO/Kivo.exe"); }, 1},
        ProbeCase{"mixedCase", "\\trevanto\\trevanto.exe",
                  [](const fs::path& r) { touch(r / "TreVanto/TREVANTO.exe"); }, 1},
        ProbeCase{"otherName", "\\kivo\\Kivo.exe", [](const fs::path& r) { touch(r / "kivo/Kivo.exe.bak"); }, 0},
        ProbeCase{"symlinkToFile", "\\dolvo\\dolvo.exe",
                  [](const fs::path& r) {
                      touch(r / "real/dolvo.bin");
                      fs::create_directories(r / "dolvo");
                      link(r / "real/dolvo.bin", r / "dolvo/dolvo.exe");
                  },
                  1},
        ProbeCase{"symlinkToFolder", "\\dolvo\\dolvo.exe",
                  [](const fs::path& r) {
                      fs::create_directories(r / "real/dir");
                      fs::create_directories(r / "dolvo");
                      link(r / "real/dir", r / "dolvo/dolvo.exe");
                  },
                  0},
        ProbeCase{"danglingSymlink", "\\dolvo\\dolvo.exe",
                  [](const fs::path& r) {
                      fs::create_directories(r / "dolvo");
                      link(r / "nowhere", r / "dolvo/dolvo.exe");
                  },
                  0},
        ProbeCase{"escapesTheRoot", "\\..\\dolvo\\dolvo.exe", [](const fs::path& r) { touch(r / "dolvo/dolvo.exe"); },
                  0}),
    [](const auto& row) { return std::string(row.param.label); });

}  // namespace
