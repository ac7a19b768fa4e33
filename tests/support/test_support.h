#pragma once
// Shared helpers for the tests: recording message boxes, temporary data
// folders and small file utilities.

#include "call/ports.h"

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>
#include <QVector>

#include <functional>

namespace voxlet::test {

struct ShownBox {
    QString text;
    MessageIcon icon;
    QString title;
};

class RecordingMessageBox : public MessageBoxPort {
public:
    void show(const QString& text, MessageIcon icon, const QString& title) override;
    bool ask(const QString& text, const QString&) override
    {
        questions << text;
        return yes;
    }
    QStringList texts() const;
    void clear() { boxes.clear(); }
    QVector<ShownBox> boxes;
    // A real box runs events until it is closed: this long, when set.
    int modalMs = 0;
    QStringList questions;
    bool yes = false; // the answer to every question
};

// A figure of this process in /proc/self/status ("VmHWM:", "VmRSS:"), in kB; -1 when unknown.
long StatusKb(const char* key);

QByteArray ReadBytes(const QString& path);
void WriteBytes(const QString& path, const QByteArray& bytes);

// UTF-16LE as on the wire, written out independently of the phone's encoder.
QByteArray Utf16(const QString& text);
// And back; an odd last byte is no character.
QString FromUtf16(const QByteArray& bytes);

// Runs the event loop until the condition holds or the time is up; the
// loop wakes on each event, as the program's does.
bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 10000);
// Runs the event loop for this long.
void Pump(int ms);

// A loopback address for this test process, so parallel test programs
// never compete for the same address and port: 127.N.0.host.
QString LoopbackAddress(int host);

// The repository's own folder (for resources used by tests).
QString SourceDir();

} // namespace voxlet::test
