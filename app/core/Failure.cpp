#include "app/core/Failure.h"

#include "app/core/Config.h"
#include "app/core/KeyValueText.h"
#include "platform/FtpClient.h"

using namespace Qt::StringLiterals;

namespace adv::text {

Cause because(const QString& italian, std::string_view detail)
{
    return {italian, detail.empty() ? QString() : shownValue(detail)};
}

Cause ftpCause(const platform::FtpResult& why, const Config& config)
{
    using platform::FtpFailure;
    QString what;
    switch (why.failure) {
    case FtpFailure::None:
    case FtpFailure::Setting: what = u"un'impostazione del collegamento non si può usare"_s; break;
    case FtpFailure::Connection:
        what = why.reply == 530
                   ? u"il server ha rifiutato l'accesso: nome utente o password non accettati"_s
                   : u"nessuna sessione con il server %1, porta %2"_s.arg(QString::fromStdString(config.host))
                         .arg(config.ftp.port);
        break;
    case FtpFailure::Folder:
        what = u"il server non apre la cartella \"%1\""_s.arg(shownValue(config.remoteFolder));
        break;
    case FtpFailure::RemoteFile: what = u"il file non si trova sul server"_s; break;
    case FtpFailure::Size: what = u"il file arrivato non è della dimensione che il server indica"_s; break;
    case FtpFailure::Transfer: what = u"il trasferimento si è interrotto, o era più lento del minimo"_s; break;
    case FtpFailure::Sink: what = u"il file scaricato non si è potuto scrivere"_s; break;
    case FtpFailure::Refused: what = u"il server ha rifiutato l'operazione"_s; break;
    case FtpFailure::Mismatch: what = u"il file riletto dal server non è quello inviato"_s; break;
    case FtpFailure::Interrupted: what = u"interrotto su richiesta"_s; break;
    case FtpFailure::Resume:
        what = u"il server non riprende lo scaricamento dal punto in cui si era interrotto"_s;
        break;
    case FtpFailure::TlsRefused:
        what = u"il server non accetta il collegamento cifrato (TLS): controllare la chiave tls "
               u"(explicit, implicit o off) con chi gestisce il server"_s;
        break;
    case FtpFailure::DataTlsRefused:
        what = u"il server ha rifiutato la connessione dati cifrata (riutilizzo della sessione TLS)"_s;
        break;
    case FtpFailure::Untrusted:
        // Its own reply ("234 ...") was a yes: quoting it would mislead.
        return because(u"il certificato del server non è fidato, o non è per questo nome: controllare ca_file "
                       u"e host"_s,
                       why.detail);
    }
    // The server's words are IT's, beside the library's.
    Cause cause = because(what, why.detail);
    if (!why.serverReply.empty())
        cause.detail = u"risposta del server: \"%1\"%2"_s.arg(
            shownValue(why.serverReply), cause.detail.isEmpty() ? QString() : u"; "_s + cause.detail);
    return cause;
}

}  // namespace adv::text
