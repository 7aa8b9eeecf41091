#include "app/CommandRequest.h"

#include <QCommandLineParser>
#include <QDir>

#include <array>

#include "app/core/ExitStatus.h"
#include "app/core/KeyValueText.h"
#include "app/core/Places.h"
#include "app/core/RunLog.h"
#include "app/maker/FleetCount.h"
#include "app/site/UpdateTexts.h"

using namespace Qt::StringLiterals;

namespace adv {
namespace {

QString exitStatuses()
{
    QString table;
    for (const ExitStatusMeaning& meaning : kExitStatuses)
        table += u"\n%1  %2"_s.arg(code(meaning.status), 4)
                     .arg(QString::fromUtf8(meaning.italian.data(), static_cast<qsizetype>(meaning.italian.size())));
    return table;
}

QString help()
{
    QStringList places;
    for (const QString& folder : configFolders())
        places << u"  "_s + QDir::toNativeSeparators(folder + u'/' + kConfigFileName);
    return u"Uso: AggiornaDV [opzioni]\n"
           u"Aggiorna i programmi ZORVANIK: chiude i programmi installati e scarica la nuova versione.\n"
           u"\n"
           u"Opzioni:\n"
           u"  --config FILE  Legge la configurazione da FILE.\n"
           u"  --sweep        Senza finestra: rileva i prodotti installati, chiude i loro programmi ed esce.\n"
           u"  --update       Senza finestra e senza domanda: come --sweep, poi aggiorna il programma.\n"
           u"  --rollback     Senza finestra: come --sweep, poi rimette la versione del programma che l'ultimo\n"
           u"                 aggiornamento ha sostituito (una seconda volta torna alla più recente).\n"
           u"  --check        Senza finestra: dice quale versione è installata, cosa offre il server e quando\n"
           u"                 tocca a questo computer; non chiude nulla e non installa nulla.\n"
           u"  --publish PROGRAMMA  Per il produttore: firma PROGRAMMA (signing_key), lo invia al server sotto un\n"
           u"                 nome nuovo, lo rilegge, e solo allora lo rende visibile ai siti.\n"
           u"  --signature FILE  Con --publish: la firma minisign di PROGRAMMA già fatta dal produttore.\n"
           u"  --rollout PIANO   Percentuale di siti e ritardo, es. 10@0h,50@24h,100@72h (predefinito 100),\n"
           u"                 o \"pausa\"; senza --publish cambia il piano della versione attuale (dopo una pausa\n"
           u"                 prosegue dallo stadio raggiunto; \"riprendi\" riprende il piano conservato).\n"
           u"  --reinstate    Con --publish: pubblica di nuovo una versione ritirata, togliendola dalle ritirate.\n"
           u"  --withdraw     Per il produttore: ritira la versione attuale; i siti tornano a quella che\n"
           u"                 essa aveva sostituito, o a quella indicata con --back-to IMPRONTA.\n"
           u"  --status       Per il produttore: cosa offre il server, ogni file controllato con public_key.\n"
           u"  --refresh      Per il produttore, ogni settimana: rinnova l'indice sul server con refresh_key,\n"
           u"                 senza password, perché i siti continuino a seguirlo.\n"
           u"  --fleet        Per il produttore: conta i rapporti dei siti sul server (versioni, stadi, errori,\n"
           u"                 siti silenziosi, copie); scarica solo i rapporti cambiati dall'ultima volta.\n"
           u"  --auto-pause N  Con --fleet: mette in pausa la versione attuale quando almeno 20 siti l'hanno\n"
           u"                 provata e più del N% di loro non l'ha installata (es. 1 o 0.5).\n"
           u"  --unlock       Per il produttore: toglie il blocco lasciato sul server da una pubblicazione\n"
           u"                 interrotta, dopo averne detto proprietario ed età.\n"
           u"  -h, --help     Mostra questo aiuto.\n"
           u"  -v, --version  Mostra la versione.\n"
           u"\n"
           u"Senza opzioni apre la finestra \""_s +
           text::kWindowTitle +
           u"\".\n"
           u"\n"
           u"Senza --config, la configurazione è il primo di questi file che esiste (altrimenti valgono\n"
           u"i valori predefiniti):\n"_s +
           places.join(u'\n') + u"\n\nRegistro di ogni esecuzione (chiave log_file):\n  "_s +
           QDir::toNativeSeparators(runlog::defaultPath()) + u"\n\nStato di uscita:"_s + exitStatuses();
}

CommandRequest endedWith(ExitStatus status, const QString& mistake, bool usage = false)
{
    CommandRequest request;
    request.ended = code(status);
    request.mistake = mistake;
    request.usage = usage;
    return request;
}

// What Qt's parser could not take, in the operator's words rather than its own English.
CommandRequest misread(const QCommandLineParser& parser)
{
    if (!parser.unknownOptionNames().isEmpty())
        return endedWith(ExitStatus::Usage, u"opzione sconosciuta: %1"_s.arg(parser.unknownOptionNames().first()),
                         true);
    if (!parser.positionalArguments().isEmpty())
        return endedWith(ExitStatus::Usage, u"argomento inatteso: %1"_s.arg(parser.positionalArguments().join(u' ')),
                         true);
    return endedWith(ExitStatus::Usage, u"manca il valore di un'opzione"_s, true);
}

struct Command {
    QString option;
    Job job;
    PublishAction action = PublishAction::Release;
};

// One job a run, with what it needs; --rollout alone changes the current
// release's plan.
CommandRequest requestOf(const QCommandLineParser& parser)
{
    const bool publishing = parser.isSet(u"publish"_s);
    const std::array commands{Command{u"sweep"_s, Job::Sweep},
                              Command{u"update"_s, Job::Update},
                              Command{u"rollback"_s, Job::RollBack},
                              Command{u"check"_s, Job::Check},
                              Command{u"publish"_s, Job::Publish, PublishAction::Release},
                              Command{u"rollout"_s, Job::Publish, PublishAction::ChangeRollout},
                              Command{u"withdraw"_s, Job::Publish, PublishAction::Withdraw},
                              Command{u"status"_s, Job::Publish, PublishAction::Status},
                              Command{u"refresh"_s, Job::Publish, PublishAction::Refresh},
                              Command{u"unlock"_s, Job::Unlock},
                              Command{u"fleet"_s, Job::Fleet}};
    CommandRequest request;
    request.command = u"finestra"_s;
    int asked = 0;
    for (const Command& command : commands) {
        if (!parser.isSet(command.option) || (command.action == PublishAction::ChangeRollout && publishing))
            continue;
        ++asked;
        request.job = command.job;
        request.command = u"--"_s + command.option;
        request.publish.action = command.action;
    }
    if (asked > 1)
        return endedWith(ExitStatus::Usage, u"--sweep, --update, --rollback, --check, --publish, --rollout, "
                                            u"--withdraw, --status, --refresh, --unlock e --fleet non vanno insieme"_s);
    if ((parser.isSet(u"signature"_s) || parser.isSet(u"reinstate"_s)) && !publishing)
        return endedWith(ExitStatus::Usage, u"--signature e --reinstate vanno solo con --publish"_s);
    if (parser.isSet(u"back-to"_s) && request.publish.action != PublishAction::Withdraw)
        return endedWith(ExitStatus::Usage, u"--back-to va solo con --withdraw"_s);
    if (parser.isSet(u"auto-pause"_s)) {
        request.fleet.autoPause = readThreshold(parser.value(u"auto-pause"_s).toStdString());
        if (request.job != Job::Fleet)
            return endedWith(ExitStatus::Usage, u"--auto-pause va solo con --fleet"_s);
        if (!request.fleet.autoPause)
            return endedWith(ExitStatus::Usage, u"--auto-pause: percentuale non valida (da 0 a 100, es. 1 o 0.5)"_s);
    }
    const QString plan = parser.isSet(u"rollout"_s) ? parser.value(u"rollout"_s) : u"100"_s;
    request.publish.resumeKept = plan == u"riprendi"_s && !publishing;
    const std::optional<Rollout> rollout = Rollout::parse(request.publish.resumeKept ? "100" : plan.toStdString());
    if (!rollout)
        return endedWith(ExitStatus::Usage,
                         u"--rollout: piano non valido: %1 (es. 10@0h,50@24h,100@72h, pausa o riprendi)"_s.arg(
                             Rollout::problem(plan.toStdString())));
    if (parser.isSet(u"config"_s) && parser.value(u"config"_s).isEmpty())
        return endedWith(ExitStatus::Config, u"--config: manca il nome del file di configurazione"_s);
    request.configFile = parser.value(u"config"_s);
    request.publish.program = parser.value(u"publish"_s);
    request.publish.signatureFile = parser.value(u"signature"_s);
    request.publish.rollout = *rollout;
    request.publish.reinstate = parser.isSet(u"reinstate"_s);
    request.publish.backTo = parser.value(u"back-to"_s).toStdString();
    return request;
}

}  // namespace

QString usageLines()
{
    return u"Uso: AggiornaDV [--config FILE] [--sweep | --update | --rollback | --check]\n"
           u"     AggiornaDV [--config FILE] --publish PROGRAMMA [--signature FILE] [--rollout PIANO] [--reinstate]\n"
           u"     AggiornaDV [--config FILE] --rollout PIANO | --withdraw [--back-to IMPRONTA]\n"
           u"     AggiornaDV [--config FILE] --status | --refresh | --unlock\n"
           u"     AggiornaDV [--config FILE] --fleet [--auto-pause N]\n"
           u"     AggiornaDV --version | --help"_s;
}

CommandRequest readCommandRequest(const QStringList& arguments)
{
    QCommandLineParser parser;
    const QString file = u"FILE"_s;
    parser.addOptions(
        {QCommandLineOption(u"config"_s, QString(), file), QCommandLineOption(u"sweep"_s),
         QCommandLineOption(u"update"_s), QCommandLineOption(u"rollback"_s), QCommandLineOption(u"check"_s),
         QCommandLineOption(QStringList{u"h"_s, u"help"_s}), QCommandLineOption(QStringList{u"v"_s, u"version"_s}),
         QCommandLineOption(u"publish"_s, QString(), u"PROGRAMMA"_s),
         QCommandLineOption(u"signature"_s, QString(), file), QCommandLineOption(u"rollout"_s, QString(), u"PIANO"_s),
         QCommandLineOption(u"withdraw"_s), QCommandLineOption(u"status"_s), QCommandLineOption(u"unlock"_s),
         QCommandLineOption(u"refresh"_s), QCommandLineOption(u"reinstate"_s),
         QCommandLineOption(u"back-to"_s, QString(), u"IMPRONTA"_s), QCommandLineOption(u"fleet"_s),
         QCommandLineOption(u"auto-pause"_s, QString(), u"N"_s)});
    if (!parser.parse(QStringList{u"AggiornaDV"_s} + arguments) || !parser.positionalArguments().isEmpty())
        return misread(parser);
    CommandRequest request;
    if (parser.isSet(u"help"_s))
        request.output = help();
    else if (parser.isSet(u"version"_s))
        request.output = u"AggiornaDV "_s + QStringLiteral(ADV_VERSION);
    else
        return requestOf(parser);
    request.ended = code(ExitStatus::Success);
    return request;
}

}  // namespace adv
