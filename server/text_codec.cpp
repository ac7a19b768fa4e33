#include "server/text_codec.h"

#include <bit>
#include <bitset>
#include <cstdio>
#include <cstring>
#include <memory>

#include <iconv.h>

namespace voxlet::directory_server {

std::string EncodeUtf16Le(std::u16string_view text)
{
    std::string bytes;
    AppendUtf16Le(bytes, text);
    return bytes;
}

void AppendUtf16Le(std::string& bytes, std::u16string_view text)
{
    const std::size_t at = bytes.size();
    bytes.resize(at + text.size() * 2);
    if constexpr (std::endian::native == std::endian::little) {
        if (!text.empty())
            std::memcpy(bytes.data() + at, text.data(), text.size() * 2);
    } else {
        for (std::size_t i = 0; i < text.size(); ++i) {
            bytes[at + 2 * i] = static_cast<char>(text[i] & 0xFF);
            bytes[at + 2 * i + 1] = static_cast<char>(text[i] >> 8);
        }
    }
}

void AppendAsciiAsUtf16Le(std::string& bytes, std::string_view ascii)
{
    for (char c : ascii) {
        bytes.push_back(c);
        bytes.push_back('\0');
    }
}

std::u16string Utf16LeDecoder::decode(std::string_view bytes)
{
    std::u16string text;
    text.reserve(bytes.size() / 2 + 1);
    for (char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (!m_hasPending) {
            m_pending = byte;
            m_hasPending = true;
        } else {
            text.push_back(static_cast<char16_t>(m_pending | (byte << 8)));
            m_hasPending = false;
        }
    }
    return text;
}

namespace {

void AppendUtf8(std::string& out, char32_t cp)
{
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

bool IsHigh(char16_t u)
{
    return u >= 0xD800 && u <= 0xDBFF;
}
bool IsLow(char16_t u)
{
    return u >= 0xDC00 && u <= 0xDFFF;
}

// What would break a log line, or reorder or hide part of it on a reader's
// screen: controls, line separators, bidirectional and invisible formatting.
bool HiddenInALine(char16_t u)
{
    return u < 0x20 || (u >= 0x7F && u <= 0x9F) || u == 0xAD || u == 0x061C || u == 0x180E
        || (u >= 0x200B && u <= 0x200F) || (u >= 0x2028 && u <= 0x202E) || (u >= 0x2060 && u <= 0x206F)
        || u == 0xFEFF || (u >= 0xFFF9 && u <= 0xFFFB);
}

} // namespace

namespace {

// The characters of code page 932 by glibc's "CP932" table (what Windows
// writes; its "SHIFT_JIS" is another table). Every byte sequence is decoded,
// and a character counts when encoding it and decoding that gives it back.
class Cp932Repertoire {
public:
    Cp932Repertoire()
    {
        const iconv_t decoder = iconv_open("UTF-16LE", "CP932");
        const iconv_t encoder = iconv_open("CP932", "UTF-16LE");
        if (decoder != reinterpret_cast<iconv_t>(-1) && encoder != reinterpret_cast<iconv_t>(-1)) {
            for (unsigned lead = 0; lead < 0x100; ++lead) {
                const bool doubleByte = (lead >= 0x81 && lead <= 0x9F) || (lead >= 0xE0 && lead <= 0xFC);
                if (!doubleByte) {
                    add(decoder, encoder, { static_cast<char>(lead) });
                    continue;
                }
                for (unsigned trail = 0x40; trail <= 0xFC; ++trail) {
                    if (trail != 0x7F)
                        add(decoder, encoder, { static_cast<char>(lead), static_cast<char>(trail) });
                }
            }
        } else {
            for (unsigned c = 0; c < 0x80; ++c) // no table: ASCII at least
                m_held.set(c);
        }
        for (iconv_t cd : { decoder, encoder }) {
            if (cd != reinterpret_cast<iconv_t>(-1))
                iconv_close(cd);
        }
    }

    bool holds(char16_t unit) const { return m_held.test(unit); }

private:
    static std::string Convert(iconv_t cd, std::string input)
    {
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        char out[8];
        char* in = input.data();
        std::size_t inLeft = input.size();
        char* outPtr = out;
        std::size_t outLeft = sizeof out;
        if (iconv(cd, &in, &inLeft, &outPtr, &outLeft) == static_cast<std::size_t>(-1) || inLeft != 0)
            return {};
        return std::string(out, sizeof out - outLeft);
    }

    void add(iconv_t decoder, iconv_t encoder, const std::string& bytes)
    {
        const std::string unit = Convert(decoder, bytes);
        if (unit.size() != 2) // one BMP character, nothing else
            return;
        if (Convert(decoder, Convert(encoder, unit)) == unit)
            m_held.set(static_cast<unsigned char>(unit[0]) | (static_cast<unsigned char>(unit[1]) << 8));
    }

    std::bitset<0x10000> m_held;
};

} // namespace

bool IsCp932Text(std::u16string_view text)
{
    // A constant table, built once: some 11 000 conversions, a few ms.
    static const auto repertoire = std::make_unique<const Cp932Repertoire>();
    for (char16_t u : text) {
        if (!repertoire->holds(u))
            return false;
    }
    return true;
}

std::u16string FromUtf8(std::string_view text)
{
    std::u16string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const int length = lead < 0x80 ? 1
            : (lead >> 5) == 6         ? 2
            : (lead >> 4) == 14        ? 3
            : (lead >> 3) == 30        ? 4
                                       : 0;
        char32_t cp = length == 1 ? lead
            : length == 2         ? lead & 0x1F
            : length == 3         ? lead & 0x0F
                                  : lead & 0x07;
        bool valid = length > 0 && i + length <= text.size();
        for (int k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            valid = (next >> 6) == 2;
            cp = (cp << 6) | (next & 0x3F);
        }
        valid = valid && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF)
            && cp >= (length == 2    ? 0x80u
                       : length == 3 ? 0x800u
                       : length == 4 ? 0x10000u
                                     : 0u);
        if (!valid) {
            out.push_back(u'\uFFFD');
            ++i;
            continue;
        }
        if (cp >= 0x10000) {
            out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += length;
    }
    return out;
}

std::string ToUtf8(std::u16string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t u = text[i];
        if (IsHigh(u) && i + 1 < text.size() && IsLow(text[i + 1])) {
            AppendUtf8(out, 0x10000 + ((char32_t(u) - 0xD800) << 10) + (char32_t(text[i + 1]) - 0xDC00));
            ++i;
        } else if (IsHigh(u) || IsLow(u)) {
            AppendUtf8(out, 0xFFFD);
        } else {
            AppendUtf8(out, u);
        }
    }
    return out;
}

std::string LogSafe(std::u16string_view text, std::size_t maxUnits)
{
    const std::u16string_view shown = text.substr(0, maxUnits);
    std::string out;
    out.reserve(shown.size() + 8);
    for (std::size_t i = 0; i < shown.size(); ++i) {
        const char16_t u = shown[i];
        if (u == u'\'' || u == u'\\') { // so that a name cannot close the quotes it is logged in
            out += '\\';
            out += static_cast<char>(u);
        } else if (IsHigh(u) && i + 1 < shown.size() && IsLow(shown[i + 1])) {
            AppendUtf8(out, 0x10000 + ((char32_t(u) - 0xD800) << 10) + (char32_t(shown[i + 1]) - 0xDC00));
            ++i;
        } else if (HiddenInALine(u) || IsHigh(u) || IsLow(u)) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04X", static_cast<unsigned>(u));
            out += escaped;
        } else {
            AppendUtf8(out, u);
        }
    }
    if (text.size() > maxUnits)
        out += "...";
    return out;
}

} // namespace voxlet::directory_server
