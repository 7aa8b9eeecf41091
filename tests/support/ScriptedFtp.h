// An FTP session for tests: it records each call, runs the test's hooks
// inside them, and answers as scripted.
#pragma once

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/FtpClient.h"

namespace adv::test {

class ScriptedFtp final : public platform::FtpClient {
public:
    void setHostname(const std::string& host) override { calls.push_back("host:" + host); }
    void setUsername(const std::string&) override { calls.emplace_back("user"); }
    void setPassword(const std::string&) override { calls.emplace_back("password"); }
    void setInterruptCheck(std::function<bool()> check) override { interrupted = std::move(check); }
    platform::FtpResult OpenSession() override
    {
        calls.emplace_back("open");
        if (onOpen)
            onOpen();
        return result(openResult, platform::FtpFailure::Connection);
    }
    platform::FtpResult EnterRemoteFolder(const std::string& folder) override
    {
        calls.push_back("folder:" + folder);
        return result(folderResult, platform::FtpFailure::Folder);
    }
    platform::FtpResult FetchFile(const std::string& remote, platform::FtpSink& sink,
                                  const platform::FtpProgress& progress) override
    {
        calls.push_back("fetch:" + remote);
        // A server without the maker's index says so at once, whatever else is scripted.
        if (remote == "dolvo.exe.index" && !files.contains(remote))
            return {platform::FtpFailure::RemoteFile, 550, "no such file", "550 No such file"};
        if (onFetch)
            onFetch(progress);
        // A download that the caller's check stopped says so, as the real one does.
        if (interrupted && interrupted())
            return {platform::FtpFailure::Interrupted, 0, "interrupted", {}};
        if (!serving)
            return result(fetchResult, fetchFailure);
        const auto file = files.find(remote);
        if (file == files.end())
            return {platform::FtpFailure::RemoteFile, 550, "no such file", "550 No such file"};
        // From where the bytes the sink holds end, as REST asks.
        const auto held = static_cast<std::size_t>(sink.heldAlready());
        if (held > file->second.size())
            return {platform::FtpFailure::Resume, 0, "shorter than held", {}};
        // A server that cuts a transfer short and says it was all.
        const std::size_t end = cutAt.contains(remote) ? cutAt.at(remote) : file->second.size();
        delivered[remote] += end - held;
        return sink.take(file->second.data() + held, end - held);
    }
    platform::FtpResult AskAbout(const std::string& remote, Facts& facts) override
    {
        calls.push_back("ask:" + remote);
        const auto file = files.find(remote);
        if (file == files.end() && (serving || remote == "dolvo.exe.index"))
            return {platform::FtpFailure::RemoteFile, 550, "no such file", "550 No such file"};
        if (file != files.end())
            facts = {modified.contains(remote) ? modified.at(remote)
                                               : static_cast<std::int64_t>(std::hash<std::string>{}(file->second) >> 2),
                     std::ssize(file->second)};
        return {};
    }
    platform::FtpResult PlaceFile(const std::string& folder, const std::string& name, std::string_view bytes) override
    {
        const std::string where = folder.empty() ? name : folder + "/" + name;
        calls.push_back("place:" + where);
        if (!placeResult)
            return {platform::FtpFailure::Refused, 553, "scripted refusal", "553 Could not create file."};
        files[where] = bytes;
        return {};
    }
    bool asked(const std::string& call) const { return std::find(calls.begin(), calls.end(), call) != calls.end(); }
    void CloseSession() override { calls.emplace_back("close"); }

    static platform::FtpResult result(bool ok, platform::FtpFailure failure)
    {
        if (ok)
            return {};
        // A refused login, as a server says it.
        if (failure == platform::FtpFailure::Connection)
            return {failure, 530, "Login denied", "530 Login incorrect."};
        return {failure, 0, "scripted <b><font color=green size=6>failure", {}};
    }

    std::vector<std::string> calls;
    bool openResult = true;
    bool folderResult = true;
    bool placeResult = true;
    bool fetchResult = true;
    platform::FtpFailure fetchFailure = platform::FtpFailure::Transfer;
    std::function<void()> onOpen;
    std::function<void(const platform::FtpProgress&)> onFetch;
    std::function<bool()> interrupted;  // the update command's, while it runs
    // With `serving`, what the server holds, by name; else every fetch
    // answers as fetchResult and fetchFailure say, and delivers nothing.
    bool serving = false;
    std::map<std::string, std::string> files;
    std::map<std::string, std::size_t> delivered;  // bytes sent, by name
    std::map<std::string, std::size_t> cutAt;      // where a transfer ends, by name
    // MDTM, by name; where not given, one that changes with the file's bytes.
    std::map<std::string, std::int64_t> modified;
};

}  // namespace adv::test
