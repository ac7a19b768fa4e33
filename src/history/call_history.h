#pragma once
// The calls the phone made and took, kept in the file `history` of its state
// folder (owner-only, written atomically after every call), at most
// kMaxCalls of them, the oldest going first. UTF-8, a header line, then one
// call a line, oldest first, eight fields separated by tabs:
//
//   voxlet call history 1
//   2024-05-01T10:22:33Z  in  answered  65  plain  1  Bob  198.18.0.2
//
// when it began (UTC), in|out, answered|unanswered|busy|limit (a caller
// closed unheard: the line was taken, or it called too often), the seconds
// talked, plain|encrypted|confirmed, how many calls the line stands for
// (a caller's unanswered calls within a minute share one), the name and
// the address. In the last two '%', controls and DEL are written as %XX
// (their UTF-8 bytes in hex).

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>

#include <functional>
#include <optional>

namespace voxlet::history {

enum class Direction { Outgoing, Incoming };
enum class Outcome { Answered, Unanswered, Busy, TooOften };
enum class Protection { Plain, Encrypted, Confirmed };

struct CallRecord {
    QDateTime at; // when it was dialled, rang or was turned away
    Direction direction = Direction::Incoming;
    Outcome outcome = Outcome::Unanswered;
    int seconds = 0; // from the answer to the end
    Protection protection = Protection::Plain;
    int times = 1;
    QString name; // as announced; for a dial, the phone book's or the directory's
    QString address;
    bool operator==(const CallRecord&) const = default;
};

inline const QString kHistoryFile = QStringLiteral("history");
// Where a damaged file is kept before the first save replaces it.
inline const QString kDamagedHistoryFile = QStringLiteral("history.damaged");

QByteArray FormatHistory(const QList<CallRecord>& calls);
// None when the text is not as FormatHistory writes it.
std::optional<QList<CallRecord>> ParseHistory(const QByteArray& text);

class CallHistory : public QObject {
    Q_OBJECT
public:
    static constexpr int kMaxCalls = 500;
    // Refused callers cost the caller nothing: they never take more than
    // this, whatever number of addresses a flood comes from.
    static constexpr int kMaxRefused = 100;
    static constexpr int kMaxTextChars = 256;
    using Clock = std::function<QDateTime()>;

    // An empty stateDir keeps the calls in memory only. An unreadable or
    // damaged file gives an empty history and a line (problem()).
    explicit CallHistory(QString stateDir, Clock clock = {});

    // Oldest first, by the time each began.
    const QList<CallRecord>& calls() const { return calls_; }
    const QString& problem() const { return problem_; }
    QDateTime now() const { return clock_(); }

    // A caller's unanswered call within a minute of its last line counts on that line.
    void Add(CallRecord call);
    void Clear();

signals:
    void changed();

private:
    void Save();

    QString stateDir_;
    Clock clock_;
    QList<CallRecord> calls_;
    QString problem_;
    bool unreadable_ = false; // nothing is written over a file that could not be read
    QByteArray damaged_;
};

} // namespace voxlet::history
