// One whole download through the FTP session, for the download benchmark:
// open, enter the folder, fetch over the target through the install
// transaction, close. Prints the time of the fetch and install alone and the
// process's peak resident memory. With --ask for TARGET, only asks about the
// file and prints what the server said, as a site that holds it already.
//
//   adv_ftp_fetch_bench PORT FOLDER REMOTE-NAME TARGET|--ask
//   account in ADV_FTP_BENCH_USER / ADV_FTP_BENCH_PASSWORD; host 127.0.0.1;
//   explicit TLS when ADV_FTP_BENCH_CA_FILE names the server's certificate
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "install/FileReplacement.h"
#include "platform/FtpClient.h"

namespace {

std::string env(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

class FileSink final : public adv::platform::FtpSink {
public:
    explicit FileSink(adv::install::FileReplacement& file) : file_(file) {}
    adv::platform::FtpResult take(const char* data, std::size_t size) override
    {
        if (adv::install::ReplaceResult written = file_.write(data, size); !written)
            return {adv::platform::FtpFailure::Sink, 0, std::move(written.detail), {}};
        return {};
    }

private:
    adv::install::FileReplacement& file_;
};

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s PORT FOLDER REMOTE-NAME TARGET\n", argv[0]);
        return 64;
    }
    adv::platform::FtpOptions options;
    options.port = std::atoi(argv[1]);
    options.caFile = env("ADV_FTP_BENCH_CA_FILE");
    options.tls = options.caFile.empty() ? adv::platform::FtpTls::Off : adv::platform::FtpTls::Explicit;
    auto ftp = adv::platform::makeCurlFtpClient(options);
    ftp->setHostname("127.0.0.1");
    ftp->setUsername(env("ADV_FTP_BENCH_USER"));
    ftp->setPassword(env("ADV_FTP_BENCH_PASSWORD"));
    adv::platform::FtpResult step = ftp->OpenSession();
    if (step)
        step = ftp->EnterRemoteFolder(argv[2]);
    if (!step) {
        std::fprintf(stderr, "%s\n", step.detail.c_str());
        return 2;
    }
    if (std::string(argv[4]) == "--ask") {
        adv::platform::FtpClient::Facts facts;
        step = ftp->AskAbout(argv[3], facts);
        ftp->CloseSession();
        std::printf("%s: size %lld, modified %lld\n", step ? "asked" : step.detail.c_str(),
                    static_cast<long long>(facts.size.value_or(-1)),
                    static_cast<long long>(facts.modified.value_or(-1)));
        return step ? 0 : 1;
    }
    const auto start = std::chrono::steady_clock::now();
    auto [target, why] = adv::install::FileReplacement::open(argv[4]);
    if (!target || !(why = target->lock()) || !(why = target->begin())) {
        std::fprintf(stderr, "%s\n", why.detail.c_str());
        return 1;
    }
    FileSink sink(*target);
    if (const adv::platform::FtpResult fetched = ftp->FetchFile(argv[3], sink); !fetched) {
        std::fprintf(stderr, "%s\n", fetched.detail.c_str());
        return 1;
    }
    if (!(why = target->commit({}))) {
        std::fprintf(stderr, "%s\n", why.detail.c_str());
        return 1;
    }
    const double fetchSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ftp->CloseSession();

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("fetch_s=%.3f maxrss_kib=%ld\n", fetchSeconds, usage.ru_maxrss);
    return 0;
}
