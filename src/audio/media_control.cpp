#include "audio/media_control.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

namespace voxlet {

MediaControl::MediaControl(SoundPlayerFactory& players, QString baseDir)
    : factory_(players)
    , baseDir_(std::move(baseDir))
{
}

MediaControl::~MediaControl()
{
    closeAll();
}

QString MediaControl::resolve(const QString& file) const
{
    QString name = file;
    if (name.size() >= 2 && name.startsWith(u'"') && name.endsWith(u'"'))
        name = name.mid(1, name.size() - 2);
    if (name.isEmpty() || QFileInfo(name).isAbsolute())
        return name;
    return QDir(baseDir_).filePath(name);
}

void MediaControl::closeAll()
{
    for (auto& [alias, player] : players_)
        player->close();
    players_.clear();
}

QString MediaControl::SendString(const QString& command)
{
    static const QRegularExpression open(QStringLiteral("^\\s*open\\s+(.+)\\s+alias\\s+(\\S+)\\s*$"),
        QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression play(QStringLiteral("^\\s*play\\s+(\\S+)(\\s+from\\s+0)?\\s*$"),
        QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression status(
        QStringLiteral("^\\s*status\\s+(\\S+)\\s+mode\\s*$"), QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression closeAllCommand(
        QStringLiteral("^\\s*close\\s+all\\s*$"), QRegularExpression::CaseInsensitiveOption);

    if (auto m = open.match(command); m.hasMatch()) {
        const QString alias = m.captured(2).toLower();
        // An alias in use stays as it is, and so does a file that cannot be
        // opened: no alias means later commands on it reply nothing.
        if (players_.count(alias))
            return {};
        const QString path = resolve(m.captured(1).trimmed());
        if (path.isEmpty())
            return {};
        auto player = factory_.create();
        if (!player || !player->open(path))
            return {};
        players_.emplace(alias, std::move(player));
        return {};
    }
    if (auto m = play.match(command); m.hasMatch()) {
        auto it = players_.find(m.captured(1).toLower());
        if (it != players_.end())
            it->second->playFromStart();
        return {};
    }
    if (auto m = status.match(command); m.hasMatch()) {
        auto it = players_.find(m.captured(1).toLower());
        if (it == players_.end())
            return {};
        return it->second->hasStopped() ? QStringLiteral("stopped") : QStringLiteral("playing");
    }
    if (closeAllCommand.match(command).hasMatch()) {
        closeAll();
        return {};
    }
    return {};
}

} // namespace voxlet
