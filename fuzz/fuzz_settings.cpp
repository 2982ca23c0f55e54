// The settings reader on any file: it never fails to return, leaves every setting in its range, and
// what it reads survives being written and read again (after one write, the file is a fixed point).
#include "FuzzSupport.h"
#include "core/Failure.h"
#include "core/RuntimeState.h"
#include "files/SettingsFile.h"

#include <QFile>
#include <QTemporaryDir>

namespace {

class DroppedErrors final : public ErrorReporter {
public:
    void LogError(const QString&, const QString&, const Failure&) override { }
};

QString Describe(const RuntimeState& s)
{
    return QStringLiteral("%1|%2|%3|%4|%5|%6|%7")
        .arg(s.RixIPPort)
        .arg(s.RixIPAddress)
        .arg(s.ClientIPPort)
        .arg(s.ClientIPAddress)
        .arg(s.PacketSize)
        .arg(s.OperationMode)
        .arg(s.LogData);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static QTemporaryDir folder;
    RuntimeState state;
    state.AppPath = folder.path() + u'/';
    DroppedErrors errors;
    {
        QFile file(state.AppPath + QStringLiteral("iplog.ini"));
        FUZZ_CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(reinterpret_cast<const char*>(data), qint64(size));
    }
    ReadSettingsFile(state, errors);
    FUZZ_CHECK(state.OperationMode == 0 || state.OperationMode == 1);
    FUZZ_CHECK(state.PacketSize == 0 || (state.PacketSize > 1024 && state.PacketSize <= 16383));
    FUZZ_CHECK(state.RixIPPort >= 0 && state.ClientIPPort >= 0);

    // Write, read, write, read: the second reading equals the first.
    FUZZ_CHECK(WriteSettingsFile(state, errors));
    RuntimeState once;
    once.AppPath = state.AppPath;
    ReadSettingsFile(once, errors);
    FUZZ_CHECK(WriteSettingsFile(once, errors));
    RuntimeState twice;
    twice.AppPath = state.AppPath;
    ReadSettingsFile(twice, errors);
    FUZZ_CHECK(Describe(once) == Describe(twice));
    return 0;
}
