#include "app/site/Installation.h"

#include <QDateTime>

#include <algorithm>
#include <chrono>
#include <iterator>
#include <optional>
#include <string>
#include <thread>

#include "app/core/Config.h"
#include "app/core/ProductTable.h"
#include "app/site/Decide.h"
#include "platform/OrdinaryFile.h"
#include "platform/ProcessTable.h"
#include "platform/RunningFile.h"

namespace adv {
namespace {

class SiteBelow final : public InstallSite {
public:
    explicit SiteBelow(std::filesystem::path root) : root_(std::move(root)) {}

    install::Opened open(bool orOnlyPrevious) override
    {
        std::optional<std::filesystem::path> target = platform::findOrdinaryFile(root_, kUpdatedProduct.probePath);
        if (!target && orOnlyPrevious) {
            const std::string previous = std::string(kUpdatedProduct.probePath) + std::string(install::kPreviousSuffix);
            if (const auto kept = platform::findOrdinaryFile(root_, previous)) {
                std::string name = kept->filename().string();
                name.resize(name.size() - install::kPreviousSuffix.size());
                target = kept->parent_path() / name;
            }
        }
        if (!target)
            return {};
        return install::FileReplacement::open(*target);
    }

    std::vector<long> runningTheProgram(std::span<const long> pids) override
    {
        const auto installed = platform::findOrdinaryFile(root_, kUpdatedProduct.probePath);
        return installed ? platform::processesRunningFile(*installed, pids) : std::vector<long>{};
    }

    std::vector<LeftRunning> runningTheProgramNow(bool replaced) override
    {
        std::vector<LeftRunning> found = lookNow(replaced);
        // A program whose start looked the replaced file up just before the
        // swap shows under its name, running that file, only once its exec
        // is done: a moment later, which a busy machine stretches.
        if (replaced && found.empty()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
            found = lookNow(replaced);
        }
        return found;
    }

private:
    std::vector<LeftRunning> lookNow(bool replaced) const
    {
        const std::span<const std::string_view> names = kUpdatedProduct.executables;
        std::vector<long> pids;
        std::vector<std::size_t> named;
        platform::ProcessWalk walk = platform::openProcessesNamed(names);
        for (const platform::RunningProcess& process : walk.processes)
            pids.push_back(process.pid()), named.push_back(process.name());
        for (const platform::Unopenable& process : walk.unopenable)
            pids.push_back(process.pid), named.push_back(process.name);
        walk = {};
        const std::string file =
            std::string(kUpdatedProduct.probePath) + (replaced ? std::string(install::kPreviousSuffix) : std::string());
        const auto path = platform::findOrdinaryFile(root_, file);
        const std::vector<long> running = path ? platform::processesRunningFile(*path, pids) : std::vector<long>{};
        std::vector<LeftRunning> found;
        for (std::size_t i = 0; i < pids.size(); ++i) {
            if (std::find(running.begin(), running.end(), pids[i]) != running.end())
                found.push_back({std::string(names[named[i]]), pids[i], LeftBecause::KeptStarting});
        }
        return found;
    }

    std::filesystem::path root_;
};

}  // namespace

std::unique_ptr<InstallSite> installSiteBelow(const std::filesystem::path& root)
{
    return std::make_unique<SiteBelow>(root);
}

Installation openInstallation(InstallSite& site, const Config& config, bool orOnlyPrevious, bool look)
{
    install::Opened opened = site.open(orOnlyPrevious);
    Installation installation{std::move(opened.replacement), std::move(opened.result)};
    if (!installation.replacement)
        return installation;
    installation.locked = look ? installation.replacement->look() : installation.replacement->lock();
    if (installation.locked && config.publicKey) {
        if (const auto legacy = installation.replacement->legacySignature(minisign::kMaxSignatureBytes)) {
            const auto kept = minisign::Signature::check(*legacy, *config.publicKey, kUpdatedProgram).signature;
            if (const auto floor = kept ? legacyFloor(*kept, QDateTime::currentSecsSinceEpoch()) : std::nullopt)
                installation.replacement->raiseFloor(*floor);
        }
    }
    return installation;
}

void identifyInstalled(install::FileReplacement& replacement)
{
    if (!replacement.record().installed.hash.empty())
        return;
    minisign::StreamHash hash;
    if (replacement.readInstalled([&hash](const char* data, std::size_t size) { hash.update(data, size); }))
        replacement.identify(minisign::toHex(hash.final()));
}

std::vector<LeftRunning> runningInstalledProgram(InstallSite& site, std::span<const LeftRunning> leftRunning)
{
    if (leftRunning.empty())
        return {};
    std::vector<long> pids;
    for (const LeftRunning& left : leftRunning)
        pids.push_back(left.pid);
    const std::vector<long> running = site.runningTheProgram(pids);
    std::vector<LeftRunning> found;
    std::copy_if(leftRunning.begin(), leftRunning.end(), std::back_inserter(found),
                 [&running](const LeftRunning& left) {
                     return std::find(running.begin(), running.end(), left.pid) != running.end();
                 });
    return found;
}

}  // namespace adv
