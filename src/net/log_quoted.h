#pragma once
// Text from outside (a caller's name, a directory's or a router's answer)
// in a log line: it cannot end the line, hide in it or close its quotes.

#include <QString>

namespace voxlet {

// In single quotes; a quote or backslash behind a backslash; control,
// format and separator characters (and lone surrogates) as \uXXXX; cut
// after maxChars, marked "...".
QString LogQuoted(const QString& text, qsizetype maxChars = 120);

} // namespace voxlet
