#include "directory/server/text_codec.h"

#include <bit>
#include <cstring>

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

} // namespace

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
    const bool cut = text.size() > maxUnits;
    std::u16string shown(text.substr(0, maxUnits));
    for (char16_t& u : shown) {
        if (u < 0x20 || u == 0x7F || (u >= 0x80 && u < 0xA0) || u == 0x2028 || u == 0x2029)
            u = u'?';
    }
    std::string out = ToUtf8(shown);
    if (cut)
        out += "...";
    return out;
}

} // namespace voxlet::directory_server
