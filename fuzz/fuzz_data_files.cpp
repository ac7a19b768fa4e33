// "Tel.txt" and "name.txt" as anyone may have edited them: the input's
// pieces become the two files (the first both, when there is one piece), and
// every reader runs on them. Code page 932 must settle after one round trip.

#define VOXLET_FUZZ_PHONE
#include "fuzz_support.h"

#include <QFile>

using namespace voxlet;
using namespace voxlet::fuzz;

namespace {

void Write(const QString& path, std::string_view bytes)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        std::abort();
    f.write(bytes.data(), qint64(bytes.size()));
}

void CheckCp932(std::string_view bytes)
{
    const QByteArray raw(bytes.data(), qsizetype(bytes.size()));
    const QString decoded = files::DecodeCp932(raw);
    const QByteArray once = files::EncodeCp932(decoded);
    // What the encoder wrote, the decoder reads back to the same text.
    FUZZ_CHECK(files::EncodeCp932(files::DecodeCp932(once)) == once);
    // Text the program holds (say, a name from a peer), saved, read and saved
    // again, writes the same bytes. It need not read back as it was: some
    // characters are written one way only (U+00A5 as 0x5C, as Windows does),
    // which is why the forms check the round trip before saving.
    const QString text = QString::fromUtf8(raw);
    const QByteArray encoded = files::EncodeCp932(text);
    FUZZ_CHECK(files::EncodeCp932(files::DecodeCp932(encoded)) == encoded);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    InitQt();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static QTemporaryDir dir;
    const QString folder = dir.path();
    const auto pieces = SplitInput(data, size, 2);
    const std::string_view phoneBook = pieces.front();
    const std::string_view profile = pieces.back();
    Write(files::DataPath(folder, files::kPhoneBookFile), phoneBook);
    Write(files::DataPath(folder, files::kProfileFile), profile);

    const files::LinesResult book = files::LoadPhoneBook(folder);
    const files::LinesResult dial = files::LoadDialList(folder);
    for (qsizetype i = 0; i < book.lines.size(); ++i)
        FUZZ_CHECK(book.lines.at(i).startsWith(QString::number(i + 1) + QLatin1Char(' ')));
    for (qsizetype i = 0; i < dial.lines.size(); ++i)
        FUZZ_CHECK(dial.lines.at(i).startsWith(QString::number(i + 1) + QLatin1Char(' ')));

    std::array<PhoneBookEntry, kPhoneBookSlots> table;
    const QString firstName
        = book.lines.isEmpty() ? QStringLiteral("Taro") : book.lines.first().section(' ', 1, 1);
    const QString firstAddress
        = book.lines.isEmpty() ? QStringLiteral("127.0.0.2") : book.lines.first().section(' ', 2, 2);
    const files::LookupResult ring = files::LookupRingFile(folder, firstName, firstAddress, table);
    FUZZ_CHECK(ring.failure.has_value() == ring.ringFile.isEmpty() || !ring.failure);
    FUZZ_CHECK(table[0].Name.isEmpty()); // slot 0 is never used

    const files::ProfileFieldsResult fields = files::LoadProfileFields(folder);
    FUZZ_CHECK(fields.fieldsRead >= 0 && fields.fieldsRead <= 6);
    const QString own = files::ReadOwnName(folder, files::kProfileFile);
    FUZZ_CHECK(!own.isNull());
    files::ReadServerAddress(folder);
    const files::ProfileFields loaded = files::LoadProfile(folder, files::kProfileFile);

    // Saving what was read and reading it again gives the same profile, as
    // long as no field holds a comma or a line end (which the format cannot hold).
    const auto plain = [](const QString& s) {
        return !s.contains(QLatin1Char(',')) && !s.contains(QLatin1Char('\r'))
            && !s.contains(QLatin1Char('\n')) && !s.startsWith(QLatin1Char(' '))
            && !files::EncodeCp932(s).contains('?') && !s.contains(QChar(0xFFFD)) && !s.contains(QChar(0));
    };
    if (!fields.failure && plain(loaded.name) && plain(loaded.sex) && plain(loaded.age) && plain(loaded.pass)
        && plain(loaded.comment) && plain(fields.fields.server)) {
        files::ProfileFields again = loaded;
        again.server = fields.fields.server;
        FUZZ_CHECK(!files::SaveProfile(folder, again));
        const files::ProfileFields reread = files::LoadProfile(folder, files::kProfileFile);
        FUZZ_CHECK(reread.name == loaded.name && reread.sex == loaded.sex && reread.age == loaded.age
            && reread.pass == loaded.pass && reread.comment == loaded.comment);
    }

    CheckCp932(phoneBook);
    if (pieces.size() > 1)
        CheckCp932(profile);
    return 0;
}
