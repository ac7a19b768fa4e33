// The history file as anything may have left it: read as the phone reads it
// at start-up, with no crash and at most the calls the history keeps; what
// is read and written again reads back the same.

#include "fuzz_support.h"
#include "history/call_history.h"
#include "phonebook/file_io.h"

#include <QCoreApplication>
#include <QFile>
#include <QLoggingCategory>
#include <QTemporaryDir>

using namespace voxlet::history;

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    static int argc = 1;
    static char name[] = "voxlet-fuzz";
    static char* argv[] = { name, nullptr };
    static QCoreApplication* app = new QCoreApplication(argc, argv);
    (void)app;
    QLoggingCategory::setFilterRules(QStringLiteral("default.warning=false"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static QTemporaryDir dir;
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    if (const std::optional<QList<CallRecord>> calls = ParseHistory(bytes))
        FUZZ_CHECK(ParseHistory(FormatHistory(*calls)) == calls);
    QFile file(voxlet::files::DataPath(dir.path(), kHistoryFile));
    FUZZ_CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size());
    file.close();
    CallHistory history(dir.path());
    FUZZ_CHECK(history.calls().size() <= CallHistory::kMaxCalls);
    FUZZ_CHECK(history.calls().isEmpty() || history.problem().isEmpty());
    return 0;
}
