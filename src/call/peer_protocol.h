#pragma once
// The text exchange between two phones before a call is answered: the
// greeting, the call requests, the caller's profile and the answer.

#include "call/call_context.h"

#include <QString>

namespace voxlet {

// Field 1 of a "|"-separated text; a text without "|" is an error (9).
QString FirstField(const QString& text);

struct CallerProfile {
    QString name, sex, age, comment;
};

class PeerProtocol {
public:
    explicit PeerProtocol(CallContext& ctx)
        : ctx_(ctx)
    {
    }

    void TextMessageHandler();
    void ExternalMessageHandler();
    QString LookupRingFile();
    QString ReadOwnName(const QString& fileName);

    // The profile that the last search caller sent.
    const CallerProfile& lastCallerProfile() const { return profile_; }

private:
    CallContext& ctx_;
    CallerProfile profile_;
};

} // namespace voxlet
