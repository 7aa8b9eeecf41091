#include "tests/support/FileSetup.h"

#include <cstdlib>

#include "tests/support/LinuxSide_win.h"

namespace adv::test {
namespace {

using namespace Qt::StringLiterals;

std::string ask(const QJsonObject& request)
{
    const SOCKET connection = sendToLinuxSide(request);
    std::string answer = lineFrom(connection, std::chrono::seconds(10));
    closesocket(connection);
    return answer;
}

}  // namespace

const bool kReplacementKeepsMode = false;
const bool kGroupBitsCount = false;
const bool kStickyFoldersCount = false;
const bool kNamesMayHoldWildcards = false;

bool setMode(const QString& path, int mode)
{
    return ask({{u"op"_s, u"chmod"_s}, {u"path"_s, QString::fromStdString(linuxPath(path))}, {u"mode"_s, mode}}) ==
           "ok";
}

bool makeSymlink(const QString& target, const QString& link)
{
    return ask({{u"op"_s, u"symlink"_s},
                {u"target"_s, QString::fromStdString(linuxPath(target))},
                {u"link"_s, QString::fromStdString(linuxPath(link))}}) == "ok";
}

std::optional<int> modeOf(const QString& path)
{
    const std::string answer = ask({{u"op"_s, u"stat"_s}, {u"path"_s, QString::fromStdString(linuxPath(path))}});
    if (answer.empty())
        return std::nullopt;
    return std::atoi(answer.c_str());
}

}  // namespace adv::test
