#include "directory/server/text_codec.h"

#include <bit>
#include <cstdio>
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

// What would break a log line, or reorder or hide part of it on a reader's
// screen: controls, line separators, bidirectional and invisible formatting.
bool HiddenInALine(char16_t u)
{
    return u < 0x20 || (u >= 0x7F && u <= 0x9F) || u == 0xAD || u == 0x061C || u == 0x180E
        || (u >= 0x200B && u <= 0x200F) || (u >= 0x2028 && u <= 0x202E) || (u >= 0x2060 && u <= 0x206F)
        || u == 0xFEFF || (u >= 0xFFF9 && u <= 0xFFFB);
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
