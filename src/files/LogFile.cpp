#include "files/LogFile.h"

#include "core/Clock.h"
#include "core/RuntimeState.h"
#include "files/LogText.h"

#include <QDir>
#include <QRegularExpression>
#include <QVarLengthArray>

LogFile::LogFile(Kind kind, const RuntimeState& state, const Clock& clock)
    : m_kind(std::move(kind))
    , m_state(state)
    , m_clock(clock)
{
}

void LogFile::Follow()
{
    // Before start-up has fixed the program folder a log has nowhere it may be written.
    if (m_state.AppPath.isEmpty())
        throw Failure{0, QStringLiteral("the program folder is not known yet")};
    if (m_state.AppPath != m_folder || m_path.isEmpty()) {
        m_file.Close();
        m_folder = m_state.AppPath;
        m_path = m_folder + m_kind.Name;
    }
    const qint64 now = m_clock.MonotonicMs();
    if (m_file.IsOpen() && now - m_checkedAt >= 1000) {
        m_checkedAt = now;
        if (!m_file.StillAt(m_path))
            m_file.Close();
    }
}

void LogFile::Open()
{
    m_torn = false;
    m_file.Open(m_path, m_spare);
    m_checkedAt = m_clock.MonotonicMs();
    if (m_file.Size() > 0 || m_kind.Header.isEmpty())
        return;
    qsizetype done = 0;
    try {
        m_file.Write(m_kind.Header, done);
    } catch (const Failure&) {
        // No line goes into a log without its header: the next attempt starts the file again.
        m_file.CutBack(0);
        m_file.Close();
        throw;
    }
}

void LogFile::Prepare()
{
    Follow();
    if (!m_file.IsOpen()) {
        try {
            Open();
        } catch (const Failure&) {
            return;
        }
    }
    if (m_file.Size() >= LogText::RollOverSize)
        RollOver();
}

void LogFile::Append(QByteArrayView bytes, qsizetype& done)
{
    Follow();
    if (!m_file.IsOpen())
        Open();
    m_file.Write(bytes, done);
}

void LogFile::AppendWhole(std::initializer_list<QByteArrayView> parts)
{
    Follow();
    if (!m_file.IsOpen())
        Open();
    const qint64 before = m_file.Size();
    try {
        QVarLengthArray<QByteArrayView, 4> entry;
        // Not glued to the torn bytes: they end a line of their own.
        if (m_torn)
            entry.append("\r\n");
        entry.append(parts.begin(), qsizetype(parts.size()));
        qsizetype done = 0;
        m_file.Write(entry, done);
    } catch (const Failure&) {
        if (m_file.Size() != before && !m_file.CutBack(before))
            m_torn = true;
        throw;
    }
    m_torn = false;
}

void LogFile::RollOver()
{
    const QString stem = m_folder + m_kind.RolledPrefix + m_clock.Now().toString(QStringLiteral("MMddyy HHmm"));
    if (stem != m_lastStem) {
        m_lastStem = stem;
        m_nextCopy = 2;
    }
    QString target = stem + m_kind.RolledExtension;
    while (!NativeFile::RenameNoReplace(m_path, target))
        target = stem + QStringLiteral(" (%1)").arg(m_nextCopy++) + m_kind.RolledExtension;
    m_file.Close();
    ++m_rollOvers;
    DeleteOldCopies();
    try {
        Open();
    } catch (const Failure&) {
        // Left to Append, which reports it.
    }
}

void LogFile::DeleteOldCopies()
{
    if (m_state.KeepLogs <= 0)
        return;
    const QRegularExpression dated(QRegularExpression::anchoredPattern(
        QRegularExpression::escape(m_kind.RolledPrefix) + QStringLiteral("\\d{6} \\d{4}( \\(\\d+\\))?")
        + QRegularExpression::escape(m_kind.RolledExtension)));
    QFileInfoList copies;
    const QFileInfoList candidates
        = QDir(m_folder).entryInfoList({m_kind.RolledPrefix + u'*' + m_kind.RolledExtension},
                                       QDir::Files | QDir::NoSymLinks, QDir::Time | QDir::Reversed);
    for (const QFileInfo& candidate : candidates) {
        if (dated.match(candidate.fileName()).hasMatch())
            copies.append(candidate);
    }
    // Oldest first. One that cannot be deleted now stays the oldest and goes at the next roll-over.
    for (qsizetype i = 0; i < copies.size() - m_state.KeepLogs; ++i)
        NativeFile::Remove(copies[i].filePath());
}

FloodLimit::FloodLimit(const Clock& clock)
    : m_reports(clock, QuietMs)
{
}

Failure FloodLimit::Written(const Failure& failure)
{
    const qint64 leftOut = m_reports.Written(ThisLog).Count;
    Failure told = failure;
    if (leftOut > 0) {
        if (!told.Description.isEmpty())
            told.Description += u' ';
        told.Description
            += QStringLiteral("(%1 more failures of this log since the last report not written)").arg(leftOut);
    }
    return told;
}
