// The maker's FTP session for tests, over a server tree in memory: folders,
// files, renames, deletes and listings as a server does them, and the
// faults a test asks for, each on the call it names.
#pragma once

#include <algorithm>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/FtpClient.h"

namespace adv::test {

class ScriptedServer final : public platform::FtpPublishSession {
public:
    // The tree, by path from the root ("download/dolvo.exe"); "" is the root.
    std::map<std::string, std::string> files;
    std::set<std::string> folders{""};
    // {kind, n}: the n-th call (from 1) of that kind is refused: "open",
    // "folder", "fetch" (the data connection refused), "list", "put",
    // "rename", "delete", "mkdir", "rmdir", "time";
    // or, for "change", the n-th of the last five is cut off, undone.
    std::set<std::pair<std::string, int>> failing;
    bool renameKeeps = false;                                // a rename onto a name in use is refused
    std::string differs;                                     // files named ending so read back other than they hold
    std::string unlisted;                                    // names ending so are left out of listings
    std::function<void(const std::string& kind)> meanwhile;  // what another client does, before each call
    std::optional<std::int64_t> clock;                       // the server's time, for the files it changes

    void setHostname(const std::string&) override {}
    void setUsername(const std::string&) override {}
    void setPassword(const std::string&) override {}
    void setInterruptCheck(std::function<bool()>) override {}
    void CloseSession() override {}
    platform::FtpResult OpenSession() override
    {
        if (!step("open"))
            return {platform::FtpFailure::Connection, 530, "Login incorrect", "530 Login incorrect."};
        return {};
    }
    platform::FtpResult EnterRemoteFolder(const std::string& folder) override
    {
        if (!step("folder") || !folders.contains(folder))
            return refused(platform::FtpFailure::Folder);
        cwd_ = folder;
        return {};
    }
    platform::FtpResult FetchFile(const std::string& name, platform::FtpSink& sink,
                                  const platform::FtpProgress& = {}) override
    {
        const auto file = files.find(path(name));
        if (!step("fetch"))
            return {platform::FtpFailure::Transfer, 522, "scripted refusal of the data connection",
                    "522 SSL connection failed: session reuse required"};
        if (file == files.end())
            return refused(platform::FtpFailure::RemoteFile);
        std::string bytes = file->second;
        if (!differs.empty() && name.ends_with(differs) && !bytes.empty())
            bytes.back() ^= 1;
        if (static_cast<std::int64_t>(bytes.size()) > sink.capacity())
            return refused(platform::FtpFailure::Size);
        return sink.take(bytes.data(), bytes.size());
    }
    platform::FtpResult PutFile(const std::string& name, std::string_view bytes,
                                const platform::FtpProgress& = {}) override
    {
        return change("put", folders.contains(cwd_), [&] { files[path(name)] = bytes, times_[path(name)] = clock; });
    }
    platform::FtpResult Rename(const std::string& from, const std::string& to) override
    {
        const bool can = files.contains(path(from)) && !(renameKeeps && files.contains(path(to)));
        return change("rename", can, [&] {
            files[path(to)] = std::move(files.extract(path(from)).mapped());
            times_[path(to)] = times_[path(from)];
        });
    }
    platform::FtpResult Delete(const std::string& name) override
    {
        return change("delete", files.contains(path(name)), [&] { files.erase(path(name)); });
    }
    platform::FtpResult MakeFolder(const std::string& name) override
    {
        return change("mkdir", !folders.contains(path(name)), [&] { folders.insert(path(name)); });
    }
    platform::FtpResult RemoveFolder(const std::string& name) override
    {
        const auto inside = files.lower_bound(path(name) + "/");
        const bool empty = inside == files.end() || !inside->first.starts_with(path(name) + "/");
        return change("rmdir", empty && folders.contains(path(name)), [&] { folders.erase(path(name)); });
    }
    platform::FtpResult FetchListing(platform::FtpSink& sink) override
    {
        if (!step("list"))
            return refused();
        std::string listing;
        for (const auto& [name, bytes] : files)
            listing += listed(name);
        for (const std::string& name : folders)
            listing += listed(name);
        return sink.take(listing.data(), listing.size());
    }
    platform::FtpResult PlaceFile(const std::string& folder, const std::string& name, std::string_view bytes) override
    {
        const std::string where = folder.empty() ? name : folder + "/" + name;
        return change("put", folders.contains(path(folder.empty() ? std::string() : folder)) || folder.empty(),
                      [&] { files[path(where)] = bytes, times_[path(where)] = clock; });
    }
    platform::FtpResult ListFacts(const std::string& folder, std::vector<Listed>& entries,
                                  std::size_t maxEntries) override
    {
        if (!step("list"))
            return refused();
        const std::string prefix = path(folder) + "/";
        entries.clear();
        for (const auto& [name, bytes] : files) {
            if (!name.starts_with(prefix) || name.find('/', prefix.size()) != std::string::npos)
                continue;
            if (entries.size() == maxEntries)
                return refused(platform::FtpFailure::Size);
            const std::optional<std::int64_t> at = times_[name];
            entries.push_back({name.substr(prefix.size()), static_cast<std::int64_t>(bytes.size()),
                               at ? std::to_string(*at) : std::string("?") + std::to_string(bytes.size()), at});
        }
        return {};
    }
    platform::FtpResult AskAbout(const std::string& name, Facts& facts) override
    {
        if (!step("time") || !files.contains(path(name)))
            return refused(platform::FtpFailure::RemoteFile);
        facts = {times_[path(name)], static_cast<std::int64_t>(files[path(name)].size())};
        return {};
    }

private:
    std::string path(const std::string& name) const { return cwd_.empty() ? name : cwd_ + "/" + name; }
    bool step(const std::string& kind)
    {
        if (meanwhile)
            meanwhile(kind);
        return !failing.contains({kind, ++calls_[kind]});
    }
    // A change, made when the server can make it and no fault stops it.
    platform::FtpResult change(const std::string& kind, bool can, const std::function<void()>& make)
    {
        const bool cut = !step("change");
        if (!step(kind) || !can)
            return refused();
        if (cut)
            return {platform::FtpFailure::Transfer, 0, "scripted cut: the connection closed", {}};
        make();
        return {};
    }
    static platform::FtpResult refused(platform::FtpFailure failure = platform::FtpFailure::Refused)
    {
        return {failure, 550, "scripted refusal", "550 Scripted refusal."};
    }
    // `name`'s line in a listing of the current folder, if it is in it.
    std::string listed(const std::string& name) const
    {
        const std::string prefix = cwd_.empty() ? std::string() : cwd_ + "/";
        if (!name.starts_with(prefix) || name.size() == prefix.size())
            return {};
        const std::string rest = name.substr(prefix.size());
        const bool omitted = !unlisted.empty() && rest.ends_with(unlisted);
        return rest.find('/') != std::string::npos || omitted ? std::string() : rest + "\r\n";
    }

    std::string cwd_;
    std::map<std::string, int> calls_;                          // by kind
    std::map<std::string, std::optional<std::int64_t>> times_;  // by path; none for files the test put
};

}  // namespace adv::test
