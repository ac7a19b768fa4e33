#pragma once
// Geometry of the received-voice trace: one point per sample of a block.

#include <QPoint>
#include <QRect>
#include <QVector>

namespace voxlet {

constexpr int kWaveformSamples = 4000;

// mainWindowRect is the window's outer rectangle; only its width and height
// count. block holds 8000 bytes: 4000 signed 16-bit little-endian samples.
QVector<QPoint> WaveformPoints(const QRect& mainWindowRect, const char* block);

class MainWindowPort;
class MessageBoxPort;

// Clears the main window's surface and draws the block's trace on it; a
// failure shows "ERROR40" and leaves the next block to be drawn normally.
void DrawWaveform(
    MainWindowPort& main, MessageBoxPort& boxes, const QRect& mainWindowRect, const char* block);

} // namespace voxlet
