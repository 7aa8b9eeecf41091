// Test fixture: a real FTP server on 127.0.0.1 (pyftpdlib, run by
// /usr/bin/python3), one per test, on a port the OS picks.
//
// It serves options.root as the home folder of one user, read-only unless asked, over plain
// FTP or FTPS (explicit AUTH TLS, or implicit TLS) with a throw-away
// self-signed certificate for 127.0.0.1 and localhost, and can misbehave on
// purpose (FtpFault). The server dies with the fixture, and also by itself if
// the test process goes away (it watches its stdin).
#pragma once

#include <QString>
#include <QTemporaryDir>
#include <QtGlobal>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "platform/FtpClient.h"

namespace adv::test {

enum class FtpFault {
    None,
    StallData,      // sends part of a file, then stops sending but keeps the connection
    CutData,        // sends part of a file, then closes the data connection and reports success
    NoGreeting,     // accepts the TCP connection and never answers
    SizeHalf,       // SIZE answers half the real size
    SizeNegative,   // SIZE answers "213 -5"
    NoSize,         // SIZE is not implemented
    Lie150,         // the transfer's opening reply announces half the size
    ExtraData,      // 4 KiB more data than the file holds
    Endless,        // data without end; SIZE tells the truth
    NoSizeEndless,  // data without end, SIZE not implemented
    Drip,           // about one byte a second
    Grow,           // the file grows just after it was sent (an upload in progress)
    UploadPauses,   // the file grows 0.4 s after it was sent (an upload between two writes)
    Reply421,       // RETR is answered 421 and the connection closed
    CutWrites,      // the faultAfterBytes'th command that changes the tree drops the connection instead
    Throttle,       // 1 MiB/s each way
    Login421,       // the first faultAfterBytes logins are answered 421 and the connection closed
    Auth530,        // AUTH is answered 530, as by a server without TLS
    DataTls522,     // a transfer ends with vsftpd's refusal of a data connection's TLS
    DataTls425,     // ...with ProFTPD's, after the transfer's opening reply
    NoRest,         // REST is not implemented
    NoMlsd,         // MLSD is not implemented, as by vsftpd
    NoRenameOver,   // RNTO onto a name in use is refused
};

struct FtpServerOptions {
    QString root{};  // folder served as the user's home (the test creates it)
    std::string user = "operatore";
    std::string password = "prova-segreta";
    platform::FtpTls tls = platform::FtpTls::Off;
    FtpFault fault = FtpFault::None;
    qint64 faultAfterBytes = 65536;  // how much of a file StallData/CutData let through
    bool writable = false;           // the user may also upload, rename, delete and make folders
    bool socks5 = false;  // a SOCKS5 proxy beside it, at socksPort(), naming in the command log what it carries
    // "pure-ftpd", "vsftpd" or "proftpd": Debian's, unpacked in realPrefix,
    // serves instead (root; no faults, no command log; vsftpd: user "ftp").
    std::string realServer{};
    std::string realPrefix{};
    // The one name the certificate is for; empty: 127.0.0.1 and localhost.
    std::string certifiedName{};
    // vsftpd: a second account, "sito" with the same password, whose root is
    // this folder of root's, where it may store and rename, nothing else.
    std::string writeOnly{};
};

class FtpServer {
public:
    // Starts the server and waits until it accepts connections; throws
    // std::runtime_error (with the server's error output) if it cannot.
    explicit FtpServer(FtpServerOptions options);
    ~FtpServer();  // stops it (kill + wait), always
    FtpServer(const FtpServer&) = delete;
    FtpServer& operator=(const FtpServer&) = delete;

    quint16 port() const { return port_; }
    quint16 socksPort() const { return socksPort_; }
    // PEM of the self-signed certificate (tls != Off), else empty.
    QString caFile() const;
    // FTP commands received so far, one per line ("PASS ****", never the password).
    QString commandLog() const;
    // The server's own log (connections, transfers, errors): for failure messages.
    QString serverLog() const;

    const FtpServerOptions& options() const { return options_; }

private:
    // The running ftp_server.py, started the way the OS allows; its stdin
    // closed and waited for on destruction.
    class Process {
    public:
        Process(const std::vector<std::string>& arguments, const std::string& password, const QString& errorFile);
        ~Process();
        Process(const Process&) = delete;
        Process& operator=(const Process&) = delete;
        // The first line the server printed (its port), or "" when it ended
        // or said nothing in time.
        std::string firstLine(std::chrono::milliseconds timeout);

    private:
        struct Os;
        std::unique_ptr<Os> os_;
    };

    QString readFile(const QString& name) const;
    // ftp_server.py's arguments after the script's name, and for it paths as
    // the Linux side names them.
    std::vector<std::string> serverArguments() const;

    FtpServerOptions options_;
    QTemporaryDir work_;
    std::unique_ptr<Process> process_;
    quint16 port_ = 0;
    quint16 socksPort_ = 0;
};

// A port on 127.0.0.1 with nothing listening.
quint16 unusedLoopbackPort();

}  // namespace adv::test
