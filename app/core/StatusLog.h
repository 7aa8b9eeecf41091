// The status log's text rule, shared by the window and the console run.
#pragma once

#include <QString>

namespace adv {

// Lines of the log are joined by CR LF, as the operator's tools expect.
inline constexpr QLatin1String kStatusLineBreak{"\r\n"};

// One line of the log: "- " and the message exactly as given, trailing
// spaces included; an empty message still gives "- ".
QString statusLine(const QString& message);

// The log's text after appending `message` to `text`: the first line has no
// line break before it, every later one is preceded by CR LF.
QString appendedStatus(const QString& text, const QString& message);

// `text` with everything a terminal or a reader of the log could take for a
// line break or a command shown by its value (\u2028): control and format
// characters, Unicode's line and paragraph separators. Newlines stay only
// where `keepNewlines` says so, for the program's own texts of several lines.
QString printable(const QString& text, bool keepNewlines = false);

}  // namespace adv
