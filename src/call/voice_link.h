#pragma once
// What a call between two Voxlets adds to the old-style call: the offer a
// dialling Voxlet puts into its request, the answer a called Voxlet gives
// to an offer it understood, and then the voice in frames, Opus both ways;
// encrypted when both have an identity (the offer's "c", the answer's "e":
// CallCipher). An old-style peer never sends an offer and never gets an
// answer with a field, so it sees nothing of this. The exact texts of
// greeting, request and answer are kept: the encryption binds itself to them.

#include "audio/audio_devices.h"
#include "call/call_cipher.h"
#include "call/voice_frames.h"
#include "secure/noise.h"

#include <QString>

#include <optional>
#include <vector>

namespace voxlet {

class CallSockets;
class VoiceIO;
struct CallContext;

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
    // This phone's long-term key: HD calls with Voxlets that have one too
    // are encrypted. Without one (a damaged identity) no call is.
    void UseIdentity(std::optional<secure::KeyPair> identity) { identity_ = std::move(identity); }
    // A caller accepted, or a dial connected: nothing of the last call remains.
    void NewCall();
    // Tells one call from the next (NewCall counts them).
    unsigned callNumber() const { return callNumber_; }

    // ---- the dialling side ----
    // The address as the user dialled it (before the connect): the other
    // side's key is remembered under it.
    void Dialling(const QString& address) { dialled_ = address; }
    const QString& dialledAddress() const { return dialled_; }
    // The offer for the request (empty when this phone offers nothing).
    QString Offer();
    void Dialled(const QString& request);
    bool dialling() const { return dialling_; }
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
    // Both sides talk: capture and playback at the call's voice; the
    // dialling side of an encrypted call sends its handshake's message 2.
    void Start(int& socketVar);
    const CallVoice& voice() const { return voice_; }
    const CallTexts& texts() const { return texts_; }
    // A captured piece, sent as the call's voice goes; in an encrypted call
    // none before the handshake is done.
    void SendPiece(int& socketVar, const char* piece, int bytes);
    // Voice read from socketVar: played (an encrypted call's handshake
    // answered there). A text for the status line when the call cannot go
    // on (the peer's frames make no sense or fail their check).
    std::optional<QString> Received(int& socketVar, const char* data, int bytes);

    // What the call's protection is made of: undecided until both talk
    // and, in an encrypted call, until the handshake is done.
    enum class Secrecy { Undecided, Plain, Encrypted };
    Secrecy secrecy() const;
    bool handshaking() const { return started_ && cipher_.on() && !cipher_.done(); }
    const CallCipher& cipher() const { return cipher_; }

private:
    AnswerOutcome Read(const QString& answer);
    std::optional<QString> Played(const frames::Frame& frame);
    std::optional<QString> Opened(int& socketVar, const frames::Frame& frame);

    CallSockets& net_;
    VoiceIO& io_;
    const bool offering_;
    std::optional<secure::KeyPair> identity_;
    unsigned callNumber_ = 0;
    QString dialled_;
    bool dialling_ = false;
    bool started_ = false;
    bool offered_ = false; // our request carried an offer
    QString answerField_; // called: what the answer carries (empty: the plain one)
    QString heldAnswer_;
    int heldFor_ = 0; // the socket it came on
    CallVoice voice_;
    CallTexts texts_;
    frames::FrameReader reader_;
    CallCipher cipher_;
    std::vector<unsigned char> packet_;
    QByteArray frame_;
};

// Both sides talk (the dialling side on the answer, the called side on
// 応答): VoiceLink::Start, and an encrypted call whose handshake is not
// done within kHandshakeMs ends.
void StartTalk(CallContext& ctx, int& socketVar);
constexpr int kHandshakeMs = 10000;

} // namespace voxlet
