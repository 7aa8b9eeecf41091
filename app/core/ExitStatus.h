// The statuses the program exits with, for scripts that run it: one table,
// which --help prints and the README's table is held against.
#pragma once

#include <array>
#include <string_view>

namespace adv {

enum class ExitStatus : int {
    Success = 0,  // updated or already current, the window closed, --sweep, --rollback, --help, --version
    Cancelled = 1,
    ConnectFailed = 2,
    FolderMissing = 3,
    NotInstalled = 4,
    DownloadFailed = 5,
    NotAuthentic = 6,
    OlderRelease = 7,
    NothingKept = 8,
    FutureRelease = 9,
    RecordDamaged = 10,
    ProgramRunning = 11,
    RollBackFailed = 12,
    PublishRefused = 13,
    PublishLocked = 14,
    PublishMismatch = 15,
    PublishRenameRefused = 16,
    PublishServerFailed = 17,
    StatusInconsistent = 18,
    UpdateAvailable = 19,
    SignatureMissing = 20,
    AnotherUpdate = 21,
    NotAllClosed = 22,
    IndexExpired = 23,
    FleetPaused = 24,
    Usage = 64,
    NoDisplay = 69,
    NotStarted = 70,  // AggiornaDV.com could not start AggiornaDV.exe
    Config = 78,
};

constexpr int code(ExitStatus status)
{
    return static_cast<int>(status);
}

struct ExitStatusMeaning {
    ExitStatus status;
    std::string_view italian;  // UTF-8
};

inline constexpr std::array kExitStatuses{
    ExitStatusMeaning{ExitStatus::Success, "aggiornato, o già aggiornato; --sweep, --rollback, --unlock riusciti"},
    ExitStatusMeaning{ExitStatus::Cancelled, "risposta No alla domanda"},
    ExitStatusMeaning{ExitStatus::ConnectFailed, "collegamento al server non riuscito"},
    ExitStatusMeaning{ExitStatus::FolderMissing, "la cartella di download manca sul server"},
    ExitStatusMeaning{ExitStatus::NotInstalled, "Dolvo non è installato"},
    ExitStatusMeaning{ExitStatus::DownloadFailed,
                      "download non riuscito o interrotto (il programma installato non è cambiato)"},
    ExitStatusMeaning{ExitStatus::NotAuthentic, "il programma scaricato non è quello firmato dal produttore"},
    ExitStatusMeaning{ExitStatus::OlderRelease, "il server offre una versione precedente a quella installata"},
    ExitStatusMeaning{ExitStatus::NothingKept, "--rollback: nessuna versione precedente da ripristinare"},
    ExitStatusMeaning{ExitStatus::FutureRelease,
                      "la versione sul server, o l'indice che la nomina, è firmata più di un giorno nel futuro"},
    ExitStatusMeaning{ExitStatus::RecordDamaged, "il registro della versione installata è danneggiato"},
    ExitStatusMeaning{ExitStatus::ProgramRunning, "un dolvo.exe che non si è potuto chiudere è in esecuzione"},
    ExitStatusMeaning{ExitStatus::RollBackFailed, "--rollback: ripristino non riuscito"},
    ExitStatusMeaning{ExitStatus::PublishRefused,
                      "--publish: chiave o firma rifiutata, versione non più recente o ritirata, nessuna versione "
                      "a cui tornare, o orologio lontano dal server; nulla è stato inviato"},
    ExitStatusMeaning{ExitStatus::PublishLocked, "--publish: un'altra pubblicazione è in corso sul server"},
    ExitStatusMeaning{ExitStatus::PublishMismatch,
                      "--publish: un file riletto dal server non è quello inviato; nulla è cambiato per i siti"},
    ExitStatusMeaning{ExitStatus::PublishRenameRefused,
                      "--publish: il server non ha messo un file al suo posto; la causa dice cosa è visibile"},
    ExitStatusMeaning{ExitStatus::PublishServerFailed,
                      "--publish: errore del server, o un suo indice più vecchio dell'ultimo pubblicato; nulla è "
                      "cambiato per i siti"},
    ExitStatusMeaning{ExitStatus::StatusInconsistent, "--status: il server offre file che non si verificano"},
    ExitStatusMeaning{ExitStatus::UpdateAvailable,
                      "--check: c'è una versione nuova per questo computer, da ora o da una data"},
    ExitStatusMeaning{ExitStatus::SignatureMissing, "con public_key: il server non offre la firma del programma"},
    ExitStatusMeaning{ExitStatus::AnotherUpdate, "un altro aggiornamento del programma è in corso"},
    ExitStatusMeaning{ExitStatus::NotAllClosed, "--sweep: un programma non si è potuto chiudere"},
    ExitStatusMeaning{ExitStatus::IndexExpired,
                      "l'indice delle versioni sul server è scaduto: nulla è stato installato né chiuso"},
    ExitStatusMeaning{ExitStatus::FleetPaused,
                      "--fleet --auto-pause: troppi siti non hanno installato la versione attuale, messa in pausa"},
    ExitStatusMeaning{ExitStatus::Usage, "riga di comando errata"},
    ExitStatusMeaning{ExitStatus::NoDisplay, "nessuno schermo per la finestra"},
    ExitStatusMeaning{ExitStatus::NotStarted, "AggiornaDV.com non ha potuto avviare AggiornaDV.exe"},
    ExitStatusMeaning{ExitStatus::Config, "configurazione non utilizzabile"},
};

}  // namespace adv
