// Any text a peer or a server may send, through the recognisers and the
// splitter; and the same text as a name or field in every message we build:
// what we build is taken for what it is, and its fields come back in place.

#include "call/protocol_messages.h"
#include "fuzz_support.h"

#include <QString>

using namespace voxlet;
using namespace voxlet::protocol;
using voxlet::fuzz::SplitInput;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QString text = QString::fromUtf16(reinterpret_cast<const char16_t*>(data), qsizetype(size / 2));
    (void)RecognisePeerText(text);
    (void)RecogniseExternalText(text);
    (void)RecogniseServerText(text);
    (void)IsEmptyList(text);
    FUZZ_CHECK(Pieces(text).join(QLatin1Char('|')) == text);

    FUZZ_CHECK(RecognisePeerText(DirectCallRequest(text)) == PeerText::Request);
    FUZZ_CHECK(RecogniseExternalText(DirectCallRequest(text)) == ExternalText::Greeting);
    FUZZ_CHECK(RecogniseServerText(Hello()) == ServerText::Hello);
    const Registration r { (size & 1) != 0, text, text, text, text, text, {} };
    const QString registration = RegistrationText(r);
    if (!text.contains(QLatin1Char('|'))) {
        // Without a separator of its own, a field stays one piece, in its place.
        FUZZ_CHECK(Pieces(DirectCallRequest(text)).value(1) == text);
        FUZZ_CHECK(Pieces(SearchCallRequest(text)).value(1) == text);
        const QStringList profile = Pieces(CallerProfile(text, text, text, text));
        FUZZ_CHECK(profile.size() == 6 && profile.at(4) == text);
        const QStringList pieces = Pieces(registration);
        FUZZ_CHECK(pieces.size() == 8 && pieces.at(5) == text && pieces.at(6).isEmpty());
    }
    return 0;
}
