#include "files/Journal.h"

#include "files/NativeFile.h"

#include <QCoreApplication>

#include <cstdio>

namespace Journal {

namespace {

// Lines left out because standard error had no room: the relay never waits for a reader of its stderr.
qint64 dropped = 0;

bool Put(const QByteArray& bytes)
{
    if (!NativeFile::StandardErrorHasRoom())
        return false;
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
    return true;
}

QByteArray Prefix(Priority priority)
{
    if (IsJournal())
        return '<' + QByteArray::number(int(priority)) + '>';
    return QCoreApplication::applicationName().toLocal8Bit() + ": ";
}

} // namespace

bool IsJournal()
{
    // Asked each time: a test, or a service manager, may hand the program another stream.
    return NativeFile::StandardErrorIs(qgetenv("JOURNAL_STREAM"));
}

void Write(Priority priority, const QString& text)
{
    QString line = text;
    line.replace(u'\n', u' ');
    line.replace(u'\r', u' ');
    if (dropped > 0) {
        const QByteArray said = Prefix(Priority::Warning) + QByteArray::number(dropped)
            + " lines left out: standard error was not being read\n";
        if (!Put(said)) {
            ++dropped;
            return;
        }
        dropped = 0;
    }
    if (!Put(Prefix(priority) + line.toLocal8Bit() + '\n'))
        ++dropped;
}

qint64 Dropped()
{
    return dropped;
}

} // namespace Journal
