// Any text a peer may put where an offer or an answer goes, through the
// parsers: a field that parses prints back as itself and is found again at
// the end of a request; an answer is one of its four kinds, and a cut
// message never ends before its own end.

#include "call/protocol_messages.h"
#include "fuzz_support.h"

#include <QString>

using namespace voxlet::protocol;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QString text = QString::fromUtf16(reinterpret_cast<const char16_t*>(data), qsizetype(size / 2));
    if (const std::optional<VoxletField> field = ParseVoxletField(text)) {
        FUZZ_CHECK(text.size() <= kMaxVoxletField);
        FUZZ_CHECK(VoxletFieldText(*field) == text);
        FUZZ_CHECK(RequestOffer(DirectCallRequest(QStringLiteral("a|b"), text)) == text);
        FUZZ_CHECK(ParseAnswer(Answer(text)).kind == AnswerKind::WithField);
        const QString answer = Answer(text);
        FUZZ_CHECK(FirstMessageLength(answer + text) == answer.size());
    }
    const QString offer = RequestOffer(text);
    FUZZ_CHECK(offer.isEmpty() || text.endsWith(QLatin1Char('|') + offer + QStringLiteral("|END")));
    const ReadAnswer answer = ParseAnswer(text);
    FUZZ_CHECK(answer.kind == AnswerKind::WithField || answer.field.isEmpty());
    FUZZ_CHECK(answer.field.size() <= kMaxVoxletField);
    const qsizetype first = FirstMessageLength(text);
    FUZZ_CHECK(first >= 0 && first <= text.size());
    (void)ParseVoxletField(offer);
    (void)ParseVoxletField(answer.field);
    return 0;
}
