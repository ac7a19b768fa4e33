// The history file as anything may have left it: read as the phone reads it
// at start-up, with no crash and at most the calls the history keeps; what
// is read and written again reads back the same.

#include "fuzz_support.h"
#include "history/call_history.h"
#include "phonebook/state_files.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QTemporaryDir>

using namespace voxlet::history;

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    new QCoreApplication(*argc, *argv); // for the whole run
    QLoggingCategory::setFilterRules(QStringLiteral("default.warning=false"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static QTemporaryDir dir;
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    if (const std::optional<QList<CallRecord>> calls = ParseHistory(bytes))
        FUZZ_CHECK(ParseHistory(FormatHistory(*calls)) == calls);
    FUZZ_CHECK(!voxlet::files::WriteStateFile(dir.path(), kHistoryFile, bytes));
    CallHistory history(dir.path());
    FUZZ_CHECK(history.calls().size() <= CallHistory::kMaxCalls);
    FUZZ_CHECK(history.calls().isEmpty() || history.problem().isEmpty());
    return 0;
}
