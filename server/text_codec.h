#pragma once
// The directory speaks in UTF-16 little-endian code units with no framing, so
// a read may end in the middle of a character.

#include <string>
#include <string_view>

namespace voxlet::directory_server {

// Bytes on the wire for a text: each code unit low byte first.
std::string EncodeUtf16Le(std::u16string_view text);
void AppendUtf16Le(std::string& bytes, std::u16string_view text);
void AppendAsciiAsUtf16Le(std::string& bytes, std::string_view ascii);

// Turns received bytes into code units, holding back an odd trailing byte
// until its partner arrives.
class Utf16LeDecoder {
public:
    std::u16string decode(std::string_view bytes);

private:
    bool m_hasPending = false;
    unsigned char m_pending = 0;
};

// Whether every unit of `text` is a character that code page 932 holds and
// gives back unchanged (as the client's profile file is written and read):
// no surrogates, no best-fit look-alikes such as U+00A5 for 0x5C.
bool IsCp932Text(std::u16string_view text);

// From UTF-8 (the command line), invalid bytes as U+FFFD.
std::u16string FromUtf8(std::string_view text);

// For log lines: UTF-8 with unpaired surrogates replaced by U+FFFD.
std::string ToUtf8(std::u16string_view text);

// A client-supplied text made safe for a one-line log: quotes and
// backslashes escaped, controls and bidirectional or invisible formatting
// shown as \uXXXX, long texts cut.
std::string LogSafe(std::u16string_view text, std::size_t maxUnits = 64);

} // namespace voxlet::directory_server
