// The command line read in-process: every command, every mistake, the help.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QRegularExpression>

#include <ostream>
#include <tuple>

#include "app/CommandRequest.h"

// Found by GoogleTest through QString's namespace.
void PrintTo(const QString& text, std::ostream* out)
{
    *out << '"' << text.toStdString() << '"';
}

using namespace Qt::StringLiterals;
using adv::Job;
using adv::PublishAction;

namespace {

struct Row {
    QStringList args;
    Job job = Job::Window;
    PublishAction action = PublishAction::Release;
    std::optional<int> ended{};
    QString text{};  // the mistake, or with ended 0 what goes to stdout
    bool usage = false;
    QString configFile{}, program{}, signature{};
    const char* rollout = "100";
};

TEST(CommandLineParse, EveryCommandAndMistake)
{
    const QString conflict = u"--sweep, --update, --rollback, --check, --publish, --rollout, --withdraw, --status, "
                             u"--refresh, --unlock e --fleet non vanno insieme"_s;
    const std::vector<Row> rows{
        {.args = {}},
        {.args = {u"--sweep"_s}, .job = Job::Sweep},
        {.args = {u"--update"_s, u"--config"_s, u"a.ini"_s}, .job = Job::Update, .configFile = u"a.ini"_s},
        {.args = {u"--rollback"_s}, .job = Job::RollBack},
        {.args = {u"--check"_s}, .job = Job::Check},
        {.args = {u"--publish"_s, u"d.exe"_s}, .job = Job::Publish, .program = u"d.exe"_s},
        {.args = {u"--publish"_s, u"d.exe"_s, u"--signature"_s, u"d.minisig"_s, u"--rollout"_s, u"10@0h,100@24h"_s},
         .job = Job::Publish,
         .program = u"d.exe"_s,
         .signature = u"d.minisig"_s,
         .rollout = "10@0h,100@24h"},
        {.args = {u"--rollout"_s, u"pausa"_s},
         .job = Job::Publish,
         .action = PublishAction::ChangeRollout,
         .rollout = "pausa"},
        {.args = {u"--withdraw"_s}, .job = Job::Publish, .action = PublishAction::Withdraw},
        {.args = {u"--status"_s}, .job = Job::Publish, .action = PublishAction::Status},
        {.args = {u"--refresh"_s}, .job = Job::Publish, .action = PublishAction::Refresh},
        {.args = {u"--unlock"_s}, .job = Job::Unlock},
        {.args = {u"--unlock"_s, u"--status"_s}, .ended = 64, .text = conflict},
        {.args = {u"--fleet"_s, u"--auto-pause"_s, u"0.5"_s}, .job = Job::Fleet},
        {.args = {u"--status"_s, u"--auto-pause"_s, u"1"_s},
         .ended = 64,
         .text = u"--auto-pause va solo con --fleet"_s},
        {.args = {u"--fleet"_s, u"--auto-pause"_s, u"1%"_s},
         .ended = 64,
         .text = u"--auto-pause: percentuale non valida (da 0 a 100, es. 1 o 0.5)"_s},
        {.args = {u"-v"_s}, .ended = 0, .text = u"AggiornaDV 1.0.0.11"_s},
        {.args = {u"--bogus"_s}, .ended = 64, .text = u"opzione sconosciuta: bogus"_s, .usage = true},
        {.args = {u"extra"_s}, .ended = 64, .text = u"argomento inatteso: extra"_s, .usage = true},
        {.args = {u"--config"_s}, .ended = 64, .text = u"manca il valore di un'opzione"_s, .usage = true},
        {.args = {u"--sweep"_s, u"--update"_s}, .ended = 64, .text = conflict},
        {.args = {u"--withdraw"_s, u"--rollout"_s, u"50"_s}, .ended = 64, .text = conflict},
        {.args = {u"--publish"_s, u"d.exe"_s, u"--status"_s}, .ended = 64, .text = conflict},
        {.args = {u"--reinstate"_s}, .ended = 64, .text = u"--signature e --reinstate vanno solo con --publish"_s},
        {.args = {u"--status"_s, u"--back-to"_s, u"ab12cd34"_s},
         .ended = 64,
         .text = u"--back-to va solo con --withdraw"_s},
        {.args = {u"--rollout"_s, u"0@1h\u001b"_s},
         .ended = 64,
         .text = u"--rollout: piano non valido: \"0@1h\\x1b\": la percentuale va da 1 a 100 (es. 10@0h,50@24h,100@72h, "
                 u"pausa o riprendi)"_s},
        {.args = {u"--rollout"_s, u"10,100@2d"_s},
         .ended = 64,
         .text = u"--rollout: piano non valido: \"100@2d\": il ritardo va in ore, da 0h a 8784h (es. 48h per due "
                 u"giorni) (es. 10@0h,50@24h,100@72h, pausa o riprendi)"_s},
        {.args = {u"--sweep"_s, u"--config"_s, QString()},
         .ended = 78,
         .text = u"--config: manca il nome del file di configurazione"_s},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.args.join(u' ').toStdString());
        const adv::CommandRequest got = adv::readCommandRequest(row.args);
        EXPECT_EQ(std::tuple(got.ended, got.usage, got.job, got.publish.action),
                  std::tuple(row.ended, row.usage, row.job, row.action));
        EXPECT_EQ((QStringList{got.ended == 0 ? got.output : got.mistake, got.configFile, got.publish.program,
                               got.publish.signatureFile}),
                  (QStringList{row.text, row.configFile, row.program, row.signature}));
        if (!row.ended) {
            EXPECT_EQ(got.publish.rollout, adv::Rollout::parse(row.rollout));
        }
    }
}

// The help says where the files are and what each status means; the usage
// lines name every option it explains.
TEST(CommandLineParse, HelpAndUsageNameEveryOption)
{
    QCoreApplication::setApplicationName(u"AggiornaDV"_s);
    const adv::CommandRequest help = adv::readCommandRequest({u"-h"_s});
    EXPECT_EQ(help.ended, 0);
    for (const QString& part :
         {u"Uso: AggiornaDV"_s, u"AggiornaDV.ini"_s, u"AggiornaDV.log"_s, u"\n  78  configurazione"_s})
        EXPECT_TRUE(help.output.contains(part)) << part.toStdString();
    const QRegularExpression explained(u"^  (?:-\\w, )?(--\\w+(?: [A-Z]+)?)"_s, QRegularExpression::MultilineOption);
    QStringList options;
    for (const QRegularExpressionMatch& match : explained.globalMatch(help.output))
        options << match.captured(1);
    EXPECT_EQ(options.size(), 17);
    for (const QString& option : options)
        EXPECT_TRUE(adv::usageLines().contains(option)) << option.toStdString();
}

}  // namespace
