#include "server/directory_session.h"

#include <array>
#include <utility>
#include <vector>

namespace voxlet::directory_server {

namespace {

constexpr std::u16string_view kHello = u"SERVEROK|END";
constexpr std::u16string_view kAddressRequest = u"GETGLOVALIP|END";
constexpr std::u16string_view kSearchRegistration = u"MYDATA|";
constexpr std::u16string_view kBackgroundRegistration = u"ADDITIONDATA|";
constexpr std::u16string_view kRefusal = u"DISCONNECT|END";
constexpr std::u16string_view kConnectBackRequest = u"CONNECTBACK|";
// Told only by a directory that dials back; older clients look for SERVEROK alone.
constexpr std::u16string_view kDialBackHello = u"SERVEROK|dialback|END";
constexpr std::size_t kTokenLength = 32;

// The client classifies a reply by searching these anywhere in its text, so
// one listed field holding any of them would break every other client's list.
constexpr std::array<std::u16string_view, 5> kReplyKeywords
    = { u"SERVEROK", u"ClientData", u"ZERO", u"YOURGLOVALIP", u"DISCONNECT" };

// Registration body after the command: six fields, then "END".
constexpr std::size_t kRegistrationPieces = 7;

std::vector<std::u16string_view> Split(std::u16string_view text)
{
    std::vector<std::u16string_view> pieces;
    std::size_t start = 0;
    for (;;) {
        const std::size_t bar = text.find(u'|', start);
        if (bar == std::u16string_view::npos) {
            pieces.push_back(text.substr(start));
            return pieces;
        }
        pieces.push_back(text.substr(start, bar - start));
        start = bar + 1;
    }
}

bool StartsWith(std::u16string_view text, std::u16string_view prefix)
{
    return text.substr(0, prefix.size()) == prefix;
}

bool HasControl(std::u16string_view field)
{
    for (char16_t u : field) {
        if (u < 0x20 || u == 0x7F || (u >= 0x80 && u < 0xA0))
            return true;
    }
    return false;
}

// Why a field may not be listed, or nullptr.
const char* FieldProblem(std::u16string_view field, bool listed)
{
    if (field.size() > kMaxFieldUnits)
        return "field too long";
    // Every client keeps its profile in code page 932: nothing else can
    // come from one, and a client could not hold it.
    if (!IsCp932Text(field))
        return "a character outside code page 932";
    if (!listed)
        return nullptr;
    if (HasControl(field))
        return "control character in a field";
    for (auto keyword : kReplyKeywords) {
        if (field.find(keyword) != std::u16string_view::npos)
            return "protocol keyword in a field";
    }
    return nullptr;
}

// What follows "CONNECTBACK|": "END" from an older phone, or TOKEN "|END"
// with 32 lowercase hex digits of the phone's choosing.
enum class ConnectBackForm { Incomplete, Plain, Token, Malformed, Trailing };

ConnectBackForm ReadConnectBack(std::u16string_view rest)
{
    constexpr std::u16string_view end = u"END", tokenEnd = u"|END";
    if (StartsWith(end, rest))
        return rest.size() == end.size() ? ConnectBackForm::Plain : ConnectBackForm::Incomplete;
    if (StartsWith(rest, end))
        return ConnectBackForm::Trailing;
    for (std::size_t i = 0; i < rest.size() && i < kTokenLength; ++i) {
        if (!((rest[i] >= u'0' && rest[i] <= u'9') || (rest[i] >= u'a' && rest[i] <= u'f')))
            return ConnectBackForm::Malformed;
    }
    if (rest.size() < kTokenLength)
        return ConnectBackForm::Incomplete;
    const std::u16string_view tail = rest.substr(kTokenLength);
    if (StartsWith(tokenEnd, tail))
        return tail.size() == tokenEnd.size() ? ConnectBackForm::Token : ConnectBackForm::Incomplete;
    return StartsWith(tail, tokenEnd) ? ConnectBackForm::Trailing : ConnectBackForm::Malformed;
}

std::u16string Ascii(const std::string& text)
{
    return std::u16string(text.begin(), text.end());
}

} // namespace

DirectorySession::DirectorySession(
    DirectoryStore& store, std::string peerAddress, SessionLimits limits, Logger log, ReplyReady ready)
    : m_store(store)
    , m_peerAddress(std::move(peerAddress))
    , m_limits(limits)
    , m_log(std::move(log))
    , m_ready(std::move(ready))
{
}

DirectorySession::~DirectorySession()
{
    if (m_ticket)
        m_store.cancel(m_ticket);
    if (m_probeTicket)
        m_connectBack->cancel(m_probeTicket);
}

void DirectorySession::log(const std::string& line) const
{
    if (m_log)
        m_log(m_peerAddress + " " + line);
}

std::string DirectorySession::receive(std::string_view bytes)
{
    if (m_state == State::Finished || m_state == State::Waiting)
        return {};
    m_received += bytes.size();
    if (m_received > m_limits.maxRequestBytes)
        return refuse("more than " + std::to_string(m_limits.maxRequestBytes) + " bytes");
    m_text += m_decoder.decode(bytes);
    m_inReceive = true;
    std::string out = process();
    m_inReceive = false;
    return out + takeOutput(); // a store that answered at once
}

std::string DirectorySession::process()
{
    std::string out;
    while (m_state == State::AwaitingHello) {
        if (StartsWith(m_text, kHello)) {
            m_text.erase(0, kHello.size());
            m_scanned = m_bars = 0;
            ++m_completed;
            m_state = State::AwaitingRequest;
            out += EncodeUtf16Le(m_connectBack ? kDialBackHello : kHello);
            log("hello");
        } else if (StartsWith(kHello, m_text)) {
            return out;
        } else {
            return out + refuse("not a hello");
        }
    }
    if (m_state != State::AwaitingRequest || m_text.empty())
        return out;

    const std::u16string_view text = m_text;
    if (StartsWith(text, kAddressRequest)) {
        if (text.size() > kAddressRequest.size())
            return out + refuse("data after the request");
        ++m_completed;
        return out + finish(u"YOURGLOVALIP|" + Ascii(m_peerAddress) + u"|END", "address request");
    }
    if (m_connectBack && StartsWith(text, kConnectBackRequest)) {
        const std::u16string_view rest = text.substr(kConnectBackRequest.size());
        switch (ReadConnectBack(rest)) {
        case ConnectBackForm::Incomplete:
            return out;
        case ConnectBackForm::Malformed:
            return out + refuse("malformed connect-back token");
        case ConnectBackForm::Trailing:
            return out + refuse("data after the request");
        case ConnectBackForm::Plain:
            ++m_completed;
            return out + handleConnectBack({});
        case ConnectBackForm::Token:
            ++m_completed;
            return out + handleConnectBack(std::string(rest.begin(), rest.begin() + kTokenLength));
        }
    }
    for (auto command : { kSearchRegistration, kBackgroundRegistration }) {
        if (!StartsWith(text, command))
            continue;
        // The command's own '|' and one after each field: until the sixth
        // field has ended there is nothing to judge. Counting the bars as
        // they arrive keeps a client that sends a byte at a time from costing
        // a scan of everything it sent for every byte.
        if (countBars() < kRegistrationPieces) {
            // A field may begin with "END", so this is only a guess; but the
            // client sends each request in one piece.
            if (text.ends_with(u"|END"))
                return out + refuse("fewer than six fields");
            return out;
        }
        const std::u16string_view body = text.substr(command.size());
        const auto pieces = Split(body);
        const std::u16string_view last = pieces[kRegistrationPieces - 1];
        if (pieces.size() > kRegistrationPieces || !StartsWith(u"END", last))
            return out + refuse("not six fields (a '|' inside a field?)");
        if (last != u"END")
            return out;
        ++m_completed;
        return out + handleRegistration(body, command == kSearchRegistration);
    }
    for (auto request : { kAddressRequest, kSearchRegistration, kBackgroundRegistration }) {
        if (StartsWith(request, text))
            return out;
    }
    if (m_connectBack && StartsWith(kConnectBackRequest, text))
        return out;
    return out + refuse("unknown request");
}

std::size_t DirectorySession::countBars()
{
    for (; m_scanned < m_text.size(); ++m_scanned) {
        if (m_text[m_scanned] == u'|')
            ++m_bars;
    }
    return m_bars;
}

std::string DirectorySession::handleRegistration(std::u16string_view body, bool searching)
{
    const auto pieces = Split(body);
    const Profile profile { std::u16string(pieces[0]), std::u16string(pieces[1]), std::u16string(pieces[2]),
        std::u16string(pieces[3]), std::u16string(pieces[4]), std::u16string(pieces[5]) };
    const std::string who = "'" + LogSafe(profile.name) + "'";

    if (profile.name.empty())
        return refuse("registration without a name");
    const std::array<std::pair<const std::u16string*, bool>, 6> fields { {
        { &profile.name, true },
        { &profile.sex, true },
        { &profile.age, true },
        { &profile.comment, true },
        { &profile.pass, false },
        { &profile.extra, false },
    } };
    for (const auto& [field, listed] : fields) {
        if (const char* problem = FieldProblem(*field, listed))
            return refuse(std::string("registration of ") + who + ": " + problem);
    }

    m_state = State::Waiting;
    m_text.clear();
    const std::uint64_t ticket = m_store.registerAndList(profile, m_peerAddress, m_limits.maxListedUsers,
        [this, who, searching](RegisterOutcome outcome, const std::vector<std::string_view>& users) {
            m_ticket = 0;
            onStored(who, searching, outcome, users);
        });
    if (m_state == State::Waiting)
        m_ticket = ticket;
    return {};
}

void DirectorySession::onStored(const std::string& who, bool searching, RegisterOutcome outcome,
    const std::vector<std::string_view>& users)
{
    if (!IsAccepted(outcome)) {
        m_late += refuse("registration of " + who + ": " + OutcomeName(outcome));
    } else {
        std::size_t size = 64 + 2 * m_peerAddress.size();
        for (std::string_view record : users)
            size += record.size() + 16;
        std::string reply;
        reply.reserve(size);
        AppendAsciiAsUtf16Le(reply, "ClientData|");
        if (users.empty()) {
            AppendAsciiAsUtf16Le(reply, "ZERO|");
        } else {
            std::size_t number = 0;
            for (std::string_view record : users) {
                AppendAsciiAsUtf16Le(reply, std::to_string(++number));
                AppendAsciiAsUtf16Le(reply, "|");
                reply += record;
            }
            AppendAsciiAsUtf16Le(reply, std::to_string(users.size()));
            AppendAsciiAsUtf16Le(reply, "|");
        }
        AppendAsciiAsUtf16Le(reply, m_peerAddress);
        AppendAsciiAsUtf16Le(reply, "|END");
        m_late += finishEncoded(std::move(reply),
            std::string(searching ? "registration " : "background registration ") + who + " ("
                + OutcomeName(outcome) + "), listed " + std::to_string(users.size()));
    }
    if (!m_inReceive && m_ready)
        m_ready();
}

std::string DirectorySession::handleConnectBack(const std::string& token)
{
    m_state = State::Waiting;
    m_text.clear();
    const std::uint64_t ticket = m_connectBack->probe(token, [this](ProbeResult result) {
        m_probeTicket = 0;
        const std::string word = ProbeResultWord(result);
        m_late += finish(
            u"CONNECTBACK|" + Ascii(word) + u"|" + Ascii(m_peerAddress) + u"|END", "connect-back " + word);
        if (!m_inReceive && m_ready)
            m_ready();
    });
    if (m_state == State::Waiting)
        m_probeTicket = ticket;
    return {};
}

std::string DirectorySession::finish(std::u16string_view reply, std::string outcome)
{
    return finishEncoded(EncodeUtf16Le(reply), std::move(outcome));
}

std::string DirectorySession::finishEncoded(std::string replyBytes, std::string outcome)
{
    m_state = State::Finished;
    m_outcome = std::move(outcome);
    m_text.clear();
    m_scanned = m_bars = 0;
    log(m_outcome);
    return replyBytes;
}

std::string DirectorySession::refuse(std::string reason)
{
    return finish(kRefusal, "refused: " + reason);
}

} // namespace voxlet::directory_server
