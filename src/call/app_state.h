#pragma once
// The values every part of one phone shares. One AppState per phone; nothing
// here is process-wide, so several phones can run in one process.

#include <QString>

#include <array>
#include <cstdint>
#include <functional>

#include <netinet/in.h>

namespace voxlet {

// One phone-book line's fields (tokens 2 to 5); also a waiting user's record.
struct PhoneBookEntry {
    QString Name;
    QString Address;
    QString RingFile;
    QString Stamp;
};

constexpr int kVoiceBlockBytes = 8000;
constexpr int kWaitingUserSlots = 101; // 0..100, slot 0 unused
constexpr int kPhoneBookSlots = 51; // 0..50
constexpr int kPhoneBookLimit = 50;

// A socket notification as the hub receives it: the socket, the event code
// (FD_READ 1, FD_ACCEPT 8, FD_CONNECT 16, FD_CLOSE 32) and a Winsock error.
constexpr int FD_READ = 1;
constexpr int FD_ACCEPT = 8;
constexpr int FD_CONNECT = 16;
constexpr int FD_CLOSE = 32;

struct CaptureHeader; // a captured piece on its way to the hub

// Window messages that carry the asynchronous events to the main window.
constexpr int WM_SOCKET_NOTIFY = 2064; // wParam socket, lParam event | error << 16
constexpr int MM_WIM_DATA = 960; // lParam the CaptureHeader* of a captured piece

// A socket notification as a WM_SOCKET_NOTIFY message carries it: the
// socket in wParam, the event in lParam's low word, the error in its high word.
struct SocketNotice {
    int socket = 0;
    int event = 0;
    int error = 0;

    std::intptr_t wParam() const { return socket; }
    std::intptr_t lParam() const { return std::intptr_t(event) | (std::intptr_t(error & 0xFFFF) << 16); }
    static SocketNotice FromMessage(std::intptr_t wParam, std::intptr_t lParam)
    {
        return { int(wParam), int(lParam & 0xFFFF), int((lParam >> 16) & 0xFFFF) };
    }
};

// A window procedure: the hub replaces the main window's and forwards to it.
using WindowProc = std::function<std::intptr_t(int message, std::intptr_t wParam, std::intptr_t lParam)>;

struct AppState {
    // Sockets: a descriptor, or 0 for none.
    int ListenSocket = 0;
    int CallSocket = 0;
    int ServerSocket = 0;
    int ExternalSocket = 0;

    // Handles.
    std::uintptr_t MainWindowHandle = 0;
    WindowProc PrevWindowProc;
    void* WaveInHandle = nullptr;

    // Texts.
    QString SendText;
    QString RecvText;
    QString CallerName;
    QString PeerAddress;
    sockaddr_in AcceptedAddr {};
    QString ProfileName;
    QString ProfileSex;
    QString ProfileAge;
    QString ProfileComment;
    QString ProfilePass;
    QString ProfileExtra; // nothing sets it; sent as the empty sixth field
    QString ServerInfoText;

    // Tables.
    std::array<PhoneBookEntry, kWaitingUserSlots> WaitingUsers {};
    std::array<PhoneBookEntry, kPhoneBookSlots> PhoneBook {};

    // Incoming voice is assembled here block by block.
    std::array<char, kVoiceBlockBytes> VoiceRecvBuffer {};
    std::int32_t VoiceRecvCount = 0;

    // Flags.
    bool VoiceMode = false;
    bool Connected = false;
    bool CallerAccepted = false;
    bool OutgoingCall = false;
    bool RingStop = false;
    bool VoiceBlockReady = false;
    bool GlobalIpRequest = false;
    bool SearchOpen = false;
    bool SearchActive = false;
    bool Listening = false;
    bool InTray = false;
    bool TrayIconShown = false;
    bool ShowWaveform = false;
};

} // namespace voxlet
