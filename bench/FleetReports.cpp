// The reports of a fleet of COUNT sites, as the sites write them, in FOLDER;
// with REWRITTEN, the first REWRITTEN of them written again by their sites'
// next run. For bench/fleet.sh.
//
//   adv_fleet_reports FOLDER COUNT [REWRITTEN]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "app/channel/SiteReport.h"

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s FOLDER COUNT [REWRITTEN]\n", argv[0]);
        return 2;
    }
    const std::string folder = argv[1];
    const long count = std::atol(argv[2]), rewritten = argc > 3 ? std::atol(argv[3]) : -1;
    const auto now =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
    for (long i = 0; i < (rewritten < 0 ? count : rewritten); ++i) {
        adv::SiteReport r;
        const std::string name = adv::reportName("site-" + std::to_string(i));
        r.site = name.substr(0, 32), r.version = i % 10 ? "3.1" : "3.0", r.command = "update";
        r.run = "00000000000000aa", r.at = now, r.outcome = "updated", r.phase = "done", r.group = "normale";
        r.place = static_cast<int>(i % 100), r.bytes = 300000, r.seconds = 4;
        if (rewritten >= 0)
            r.seq = 2, r.previousRun = r.run, r.run = "00000000000000bb", r.history = {r.asRun()};
        std::ofstream(folder + "/" + name, std::ios::binary) << adv::reportText(r);
    }
    return 0;
}
