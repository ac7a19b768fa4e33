#pragma once
// What a call between two Voxlets adds to the old-style call: the offer a
// dialling Voxlet puts into its request, the answer a called Voxlet gives
// to an offer it understood, and then the voice in frames, Opus both ways.
// An old-style peer never sends an offer and never gets an answer with a
// field, so it sees nothing of this. The exact texts of greeting, request
// and answer are kept for what binds itself to them (the encrypted call).

#include "audio/audio_devices.h"
#include "call/voice_frames.h"

#include <QString>

#include <optional>
#include <vector>

namespace voxlet {

class CallSockets;
class VoiceIO;

// False when VOXLET_OFFER is "0", "off", "no" or "false": the phone then
// offers nothing and answers every offer plainly, as an old-style phone.
bool OffersWanted();

// A call's texts exactly as sent or received.
struct CallTexts {
    QString greeting, request, answer;
};

// What the call's answer means to the phone that dialled.
struct AnswerOutcome {
    enum Kind { Talk, Wait, Refuse } kind = Talk;
    CallVoice voice; // Talk
    QString why; // Refuse: the status line
};

class VoiceLink {
public:
    VoiceLink(CallSockets& net, VoiceIO& voice, bool offering);

    bool offering() const { return offering_; }
    // A caller accepted, or a dial connected: nothing of the last call remains.
    void NewCall();

    // ---- the dialling side ----
    // The offer for the request (empty when this phone offers nothing).
    QString Offer() const;
    void Dialled(const QString& request);
    void Greeted(const QString& greeting) { texts_.greeting = greeting; }
    // The answer as it came on socket. Wait: it was cut short, and the hub
    // puts its start before the next text read there (TakeHeldAnswer).
    AnswerOutcome Answered(const QString& answer, int socket);
    QString TakeHeldAnswer(int socket);

    // ---- the called side ----
    void SentGreeting(const QString& greeting) { texts_.greeting = greeting; }
    // The request as it came: an offer in it that this phone understands
    // chooses the call's voice.
    void Requested(const QString& request);
    // The answer to send, recorded.
    QString AnswerText();

    // ---- the talk ----
    // Both sides talk: capture and playback at the call's voice.
    void Start();
    const CallVoice& voice() const { return voice_; }
    const CallTexts& texts() const { return texts_; }
    // A captured piece, sent as the call's voice goes.
    void SendPiece(int& socketVar, const char* piece, int bytes);
    // Voice read from the socket: played. A text for the status line when
    // the call cannot go on (the peer's frames make no sense).
    std::optional<QString> Received(const char* data, int bytes);

private:
    AnswerOutcome Read(const QString& answer);
    std::optional<QString> Played(const frames::Frame& frame);

    CallSockets& net_;
    VoiceIO& io_;
    const bool offering_;
    bool offered_ = false; // our request carried an offer
    QString answerField_; // called: what the answer carries (empty: the plain one)
    QString heldAnswer_;
    int heldFor_ = 0; // the socket it came on
    CallVoice voice_;
    CallTexts texts_;
    frames::FrameReader reader_;
    std::vector<unsigned char> packet_;
    QByteArray frame_;
};

} // namespace voxlet
