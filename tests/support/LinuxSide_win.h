// Windows tests under Wine: requests to their Linux side (linux_side.py),
// which starts Linux programs and changes Unix modes for them.
#pragma once

#include <QJsonObject>
#include <QString>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>

#include <chrono>
#include <string>

namespace adv::test {

// 127.0.0.1:port, with Winsock started.
sockaddr_in loopbackAddress(quint16 port);

// A connection to linux_side.py that has sent `request` (one JSON line).
// Throws when the test does not run through linux_side.py.
SOCKET sendToLinuxSide(const QJsonObject& request);

// The next line the Linux side sends, without its newline; "" when the
// connection ends or nothing comes within `timeout`.
std::string lineFrom(SOCKET connection, std::chrono::milliseconds timeout);

}  // namespace adv::test
