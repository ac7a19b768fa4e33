#pragma once
// A small interpreter for the media-control string commands the ring loops
// send: open a sound file under an alias, play it from the start, ask whether
// it is playing, close everything.

#include "audio/audio_devices.h"

#include <QString>

#include <map>
#include <memory>

namespace voxlet {

class MediaControl {
public:
    MediaControl(SoundPlayerFactory& players, QString baseDir);
    ~MediaControl();

    // "Open <file> alias <name>", "Play <name> [from 0]", "Status <name> mode",
    // "close all". Returns the reply text: "playing"/"stopped" for the status
    // of an open alias, empty otherwise.
    QString SendString(const QString& command);

    int openCount() const { return int(players_.size()); }

private:
    QString resolve(const QString& file) const;
    void closeAll();

    SoundPlayerFactory& factory_;
    QString baseDir_;
    // Keyed by lower-case alias: aliases are case-insensitive, like the commands.
    std::map<QString, std::unique_ptr<SoundPlayer>> players_;
};

} // namespace voxlet
