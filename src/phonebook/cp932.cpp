// Code page 932 through glibc's "CP932" table, which matches what Windows
// writes (its "SHIFT_JIS" table differs on 0x5C, U+FF0D, U+FF5E and more).

#include "phonebook/phone_book_files.h"

#include <QtEndian>

#include <algorithm>
#include <cerrno>

#include <iconv.h>

namespace voxlet::files {

namespace {

// One descriptor per direction and thread, opened on first use and reset
// before each conversion: opening one costs more than most conversions, and
// glibc would load and unload its CP932 module every time.
class Converter {
public:
    enum Direction { Encode, Decode };

    explicit Converter(Direction direction)
        : cd_(Descriptor(direction))
    {
        if (valid())
            iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    bool valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

    // Converts all of input. An input unit the table cannot take (invalid,
    // unmappable or cut off at the end) is skipped and replaced, and the
    // conversion goes on.
    QByteArray run(const QByteArray& input, size_t skipOnInvalid, const QByteArray& replacement)
    {
        QByteArray out;
        out.resize(input.size() * 2 + 16);
        char* in = const_cast<char*>(input.constData());
        size_t inLeft = size_t(input.size());
        size_t written = 0;
        while (inLeft > 0) {
            char* outPtr = out.data() + written;
            size_t outLeft = size_t(out.size()) - written;
            const size_t r = iconv(cd_, &in, &inLeft, &outPtr, &outLeft);
            written = size_t(outPtr - out.data());
            if (r != size_t(-1))
                break;
            if (errno == E2BIG) {
                out.resize(out.size() * 2 + 16);
                continue;
            }
            // EILSEQ or EINVAL: the unit at `in` cannot be converted.
            const size_t skip = std::min(skipOnInvalid, inLeft);
            in += skip;
            inLeft -= skip;
            if (size_t(out.size()) - written < size_t(replacement.size()))
                out.resize(out.size() * 2 + 16);
            std::copy(replacement.begin(), replacement.end(), out.data() + written);
            written += size_t(replacement.size());
            iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        }
        out.truncate(qsizetype(written));
        return out;
    }

private:
    static iconv_t Descriptor(Direction direction)
    {
        struct Open {
            // WCHAR_T is glibc's own UCS-4, so encoding takes one step. From
            // UCS-4LE it takes two, and glibc redoes the first step over the
            // rest of the input at every character CP932 cannot hold: text
            // full of those cost time quadratic in its length.
            iconv_t encode = iconv_open("CP932", "WCHAR_T");
            iconv_t decode = iconv_open("UTF-16LE", "CP932");
            ~Open()
            {
                for (iconv_t cd : { encode, decode }) {
                    if (cd != reinterpret_cast<iconv_t>(-1))
                        iconv_close(cd);
                }
            }
        };
        thread_local Open open;
        return direction == Encode ? open.encode : open.decode;
    }

    iconv_t cd_;
};

} // namespace

QByteArray EncodeCp932(const QString& text)
{
    static_assert(sizeof(wchar_t) == sizeof(uint), "glibc's WCHAR_T is UCS-4");
    const QList<uint> codePoints = text.toUcs4();
    const QByteArray ucs4 = QByteArray::fromRawData(
        reinterpret_cast<const char*>(codePoints.constData()), codePoints.size() * qsizetype(sizeof(uint)));

    Converter converter(Converter::Encode);
    if (!converter.valid()) {
        QByteArray ascii;
        for (const uint cp : codePoints)
            ascii += cp < 0x80 ? char(cp) : '?';
        return ascii;
    }
    return converter.run(ucs4, 4, QByteArrayLiteral("?"));
}

QString DecodeCp932(const QByteArray& bytes)
{
    Converter converter(Converter::Decode);
    if (!converter.valid()) {
        QString ascii;
        for (const char c : bytes)
            ascii += uchar(c) < 0x80 ? QChar(uchar(c)) : QChar(QChar::ReplacementCharacter);
        return ascii;
    }
    const QByteArray utf16 = converter.run(bytes, 1, QByteArrayLiteral("\xFD\xFF"));
    QString text(utf16.size() / 2, Qt::Uninitialized);
    if (!text.isEmpty()) // Qt would memcpy from a null pointer
        qFromLittleEndian<quint16>(utf16.constData(), text.size(), text.data());
    return text;
}

} // namespace voxlet::files
