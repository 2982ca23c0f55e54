#include "files/Journal.h"

#include "files/NativeFile.h"

#include <QCoreApplication>

#include <cstdio>

namespace Journal {

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
    QByteArray bytes;
    if (IsJournal())
        bytes = '<' + QByteArray::number(int(priority)) + '>';
    else
        bytes = QCoreApplication::applicationName().toLocal8Bit() + ": ";
    bytes += line.toLocal8Bit() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

} // namespace Journal
