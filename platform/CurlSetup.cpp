#include "platform/CurlSetup.h"

#include "platform/Strings.h"

namespace adv::platform {
namespace {

bool isValidHost(const std::string& host)
{
    if (host.empty())
        return false;
    for (const char c : host) {
        if (c == '/' || c == '@' || c == '?' || c == '#' || c == '\\' || static_cast<unsigned char>(c) <= ' ')
            return false;
    }
    return true;
}

}  // namespace

bool holdsLineBreak(std::string_view text)
{
    return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

bool isRemoteName(std::string_view name)
{
    return !name.empty() && name.front() != '*' && name.find('/') == std::string_view::npos && !holdsLineBreak(name);
}

FtpResult checkSettings(const std::string& host, const std::string& user, const std::string& password,
                        const FtpOptions& options)
{
    if (!isValidHost(host))
        return {FtpFailure::Setting, 0, "no valid FTP host name is configured", {}};
    if (holdsLineBreak(user) || holdsLineBreak(password) || holdsLineBreak(options.caFile))
        return {
            FtpFailure::Setting, 0, "an FTP setting holds a line break; it would reach the server as a command", {}};
    if (options.port < 1 || options.port > 65535)
        return {FtpFailure::Setting, 0, "FTP port " + std::to_string(options.port) + " is out of range", {}};
    return {};
}

std::string serverUrl(const std::string& host, const FtpOptions& options)
{
    const char* scheme = options.tls == FtpTls::Implicit ? "ftps://" : "ftp://";
    const bool ipv6Literal = host.find(':') != std::string::npos && host.front() != '[';
    return scheme + (ipv6Literal ? "[" + host + "]" : host) + ":" + std::to_string(options.port) + "/";
}

std::string remotePath(std::string_view entry, std::string_view folder,
                       const std::function<std::string(std::string_view)>& escape)
{
    // Relative to the login folder: empty components (leading, doubled or
    // trailing slashes) are dropped, each name is escaped on its own.
    const auto escaped = [&escape](std::string_view names) {
        std::string path;
        while (!names.empty()) {
            const auto slash = names.find('/');
            const std::string_view part = names.substr(0, slash);
            if (!part.empty())
                path += escape(part) + "/";
            names = slash == std::string_view::npos ? std::string_view{} : names.substr(slash + 1);
        }
        return path;
    };
    // Named from the server's root when the login folder is, so that one CWD
    // reaches it: libcurl goes back to the login folder first otherwise. On
    // a connection libcurl had to open anew, it is the same CWD.
    return entry.starts_with('/') ? "%2F" + escaped(entry) + escaped(folder) : escaped(folder);
}

std::string serverPath(std::string_view entry, std::string_view folder)
{
    if (!entry.starts_with('/'))
        return {};
    std::string path = "/";
    for (const std::string_view names : {entry, folder}) {
        for (const std::string_view name : split(names, '/')) {
            if (!name.empty())
                (path += name) += '/';
        }
    }
    return path;
}

std::chrono::seconds stallWindow(const FtpOptions& options)
{
    return options.stallTimeout > std::chrono::seconds::zero() ? options.stallTimeout : FtpOptions{}.stallTimeout;
}

bool setUpConnection(CURL* c, const FtpOptions& options, const std::string& user, const std::string& password,
                     bool stores, SystemTrust& trust)
{
    // A caller that gives no time gets the default, never libcurl's own.
    const auto connectTimeout = static_cast<long>(
        (options.connectTimeout.count() > 0 ? options.connectTimeout : FtpOptions{}.connectTimeout).count());

    bool ok = curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L) == CURLE_OK;
    ok = ok && curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "ftp,ftps") == CURLE_OK;
    // Credentials go in their own options, never into the URL, so they
    // cannot leak through libcurl's messages about the URL.
    ok = ok && curl_easy_setopt(c, CURLOPT_USERNAME, user.c_str()) == CURLE_OK;
    ok = ok && curl_easy_setopt(c, CURLOPT_PASSWORD, password.c_str()) == CURLE_OK;
    ok = ok && curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, connectTimeout) == CURLE_OK;
    // Also bounds the wait for the greeting: a server that accepts the
    // connection and never speaks must not hang the update.
    ok = ok && curl_easy_setopt(c, CURLOPT_SERVER_RESPONSE_TIMEOUT, connectTimeout) == CURLE_OK;
    ok = ok && curl_easy_setopt(c, CURLOPT_BUFFERSIZE, 100L * 1024L) == CURLE_OK;
    ok = ok && curl_easy_setopt(c, CURLOPT_FTP_USE_EPSV, options.useEpsv ? 1L : 0L) == CURLE_OK;
    // A folder is entered with one CWD of its whole path, not one for each
    // of its names.
    ok = ok && curl_easy_setopt(c, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_SINGLECWD)) == CURLE_OK;
    if (options.tls == FtpTls::Explicit) {
        ok = ok && curl_easy_setopt(c, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL)) == CURLE_OK;
        // AUTH TLS before libcurl's first choice, AUTH SSL, which Pure-FTPd
        // refuses: one command less.
        ok = ok && curl_easy_setopt(c, CURLOPT_FTPSSLAUTH, static_cast<long>(CURLFTPAUTH_TLS)) == CURLE_OK;
    }
    // Servers that insist each data connection resume the control
    // connection's TLS session (vsftpd's and ProFTPD's defaults) refuse one
    // that does not. OpenSSL lets a TLS 1.3 session resume one connection
    // only: the next data connection then needs the fresh ticket the server
    // sends over the last one after its handshake, and libcurl closes an
    // upload's data connection once its bytes are sent, often before that
    // ticket came: the next one fails, when the timing says so. A TLS 1.2
    // session resumes as often as asked. A session that only reads takes
    // each ticket with the data, and keeps TLS 1.3.
    // The least version stays libcurl's own.
    if (stores && options.tls != FtpTls::Off)
        ok = ok && curl_easy_setopt(c, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_MAX_TLSv1_2)) == CURLE_OK;
    ok = ok && curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK;
    ok = ok && curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK;
    // A ca_file is all that is trusted; without one, the system's trust,
    // as the system itself judges it. Its fetches share the connection's time.
    if (!options.caFile.empty()) {
        ok = ok && curl_easy_setopt(c, CURLOPT_CAINFO, options.caFile.c_str()) == CURLE_OK;
    } else {
        trust.bound = std::chrono::seconds(connectTimeout);
        ok = ok && useSystemVerifier(c, trust);
    }
    if (!options.proxyFromEnvironment) {
        // Set, even empty: libcurl then reads no proxy variable. NO_PROXY it
        // reads whatever the proxy, and would send the session past the one
        // configured: the list is set too, empty.
        ok = ok && curl_easy_setopt(c, CURLOPT_PROXY, options.proxy.c_str()) == CURLE_OK;
        ok = ok && curl_easy_setopt(c, CURLOPT_NOPROXY, "") == CURLE_OK;
        if (options.proxy.starts_with("http://"))
            ok = ok && curl_easy_setopt(c, CURLOPT_HTTPPROXYTUNNEL, 1L) == CURLE_OK;
    }
    return ok;
}

}  // namespace adv::platform
