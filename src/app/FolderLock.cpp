#include "app/FolderLock.h"

#include <QDir>

#include <cstdio>

FolderLock::FolderLock(ProgramKind kind, const QString& folder)
{
    const QString program = kind == ProgramKind::Window ? QStringLiteral("tolvane") : QStringLiteral("tolvaned");
    const QString shown = QDir::toNativeSeparators(folder);
    try {
        qint64 holder = 0;
        m_held = m_lock.TryLock(QDir(folder).filePath(FileName()), holder);
        if (!m_held)
            m_refusal = QStringLiteral("Another Tolvane relay (%1) is running on the folder %2. One relay per "
                                       "folder: stop that one first, or give this one another folder with --folder.")
                            .arg(holder > 0 ? QStringLiteral("process %1").arg(holder)
                                            : QStringLiteral("its process id could not be read"),
                                 shown);
    } catch (const Failure& failure) {
        m_refusal = QStringLiteral("The folder %1 cannot be locked for this relay (%2: %3). It does not start, so "
                                   "that two relays never share a folder.")
                        .arg(shown, FileName(), failure.Description);
    }
    if (!m_held)
        std::fputs(qPrintable(program + QStringLiteral(": ") + m_refusal + u'\n'), stderr);
}
