// How a staged release spreads over the sites: for 1000 site ids
// ("sito-0".."sito-999") and two plans, how many sites take the release at
// each stage (by dueFrom), first all in the normal group, then with ten of
// them pilots and ten last.
//
//   bench_rollout_night [RELEASE-TEXT]   (the release is BLAKE2b-512 of the text;
//                                         default "dolvo.exe 1.0.0.12")
#include <cstdio>
#include <map>
#include <string>

#include "app/site/Stages.h"

namespace {

constexpr int kSites = 1000;

// Sites per stage, by the time each stage starts.
std::map<std::int64_t, int> takers(const adv::ReleaseIndex& index, int pilots, int last)
{
    std::map<std::int64_t, int> count;
    for (int i = 0; i < kSites; ++i) {
        const adv::SiteGroup group = i < pilots           ? adv::SiteGroup::Pilot
                                     : i >= kSites - last ? adv::SiteGroup::Last
                                                          : adv::SiteGroup::Normal;
        const std::string id = "sito-" + std::to_string(i);
        if (const auto from = adv::dueFrom(index, adv::sitePlace(id, index.hash), group))
            ++count[*from - index.signedAt];
    }
    return count;
}

void show(const char* plan, const adv::minisign::Hash& release)
{
    adv::ReleaseIndex index;
    index.hash = release;
    index.signedAt = 1796824563;
    index.rollout = *adv::Rollout::parse(plan);
    std::printf("plan %s, %d sites\n", plan, kSites);
    std::printf("  %-8s %6s %8s %6s %7s %7s\n", "stage", "from", "planned", "new", "total", "total%");
    const auto normal = takers(index, 0, 0);
    int total = 0;
    for (const auto& stage : index.rollout.stages) {
        const auto at = std::chrono::duration_cast<std::chrono::seconds>(stage.delay).count();
        const int fresh = normal.contains(at) ? normal.at(at) : 0;
        total += fresh;
        const std::string name = std::to_string(stage.percent) + "@" + std::to_string(stage.delay.count()) + "h";
        std::printf("  %-8s %5lldh %7d%% %6d %7d %6.1f%%\n", name.c_str(), static_cast<long long>(stage.delay.count()),
                    stage.percent, fresh, total, 100.0 * total / kSites);
    }
    std::printf("  with 10 pilota and 10 ultimo, new per stage:");
    const auto mixed = takers(index, 10, 10);
    for (const auto& stage : index.rollout.stages) {
        const auto at = std::chrono::duration_cast<std::chrono::seconds>(stage.delay).count();
        std::printf(" %d", mixed.contains(at) ? mixed.at(at) : 0);
    }
    std::printf("\n\n");
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string text = argc > 1 ? argv[1] : "dolvo.exe 1.0.0.12";
    const adv::minisign::Hash release = adv::minisign::hashOf(text);
    std::printf("release BLAKE2b-512 %.16s... (of \"%s\")\n\n", adv::minisign::toHex(release).c_str(), text.c_str());
    for (const char* plan : {"10@0h,50@24h,100@72h", "1@0h,10@12h,50@36h,100@72h"})
        show(plan, release);
    return 0;
}
