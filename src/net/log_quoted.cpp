#include "net/log_quoted.h"

#include <algorithm>

namespace voxlet {

QString LogQuoted(const QString& text, qsizetype maxChars)
{
    const qsizetype shown = std::min(text.size(), maxChars);
    QString out = QStringLiteral("'");
    for (qsizetype i = 0; i < shown; ++i) {
        const QChar c = text[i];
        const auto category = c.category();
        if (c == QLatin1Char('\'') || c == QLatin1Char('\\')) {
            out += QLatin1Char('\\');
            out += c;
        } else if (c.isHighSurrogate() && i + 1 < shown && text[i + 1].isLowSurrogate()) {
            out += c;
            out += text[++i];
        } else if (category == QChar::Other_Control || category == QChar::Other_Format
            || category == QChar::Other_Surrogate || category == QChar::Separator_Line
            || category == QChar::Separator_Paragraph) {
            out += QStringLiteral("\\u") + QString::number(c.unicode(), 16).toUpper().rightJustified(4, u'0');
        } else {
            out += c;
        }
    }
    out += QLatin1Char('\'');
    if (text.size() > maxChars)
        out += QStringLiteral("...");
    return out;
}

} // namespace voxlet
