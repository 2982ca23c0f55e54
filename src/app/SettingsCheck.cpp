#include "app/SettingsCheck.h"

#include "core/CheckIPAddress.h"
#include "core/Constants.h"
#include "core/RuntimeState.h"
#include "files/Journal.h"
#include "files/SettingsFile.h"
#include "net/NativeSocket.h"

#include <QDir>
#include <QFileInfo>

#include <bit>
#include <cstdio>
#include <optional>

namespace {

// A value as iplog.ini holds it, fit for one line of a log: control characters shown as '?', and a
// long one (a file of one 10 MB line) cut short with its length.
QString Shown(const QString& value)
{
    constexpr qsizetype Longest = 60;
    QString shown = value.left(Longest);
    for (QChar& c : shown) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            c = u'?';
    }
    if (value.size() > Longest)
        shown += QStringLiteral("... (%1 characters)").arg(value.size());
    return shown;
}

void CheckPort(QStringList& problems, const QString& key, int port)
{
    if (!Constants::IsPort(port))
        problems.append(QStringLiteral("%1=%2 is not a port (1-65535)").arg(key).arg(port));
}

bool CheckAddress(QStringList& problems, const QString& key, const QString& address)
{
    quint32 parsed = 0;
    if (ParseDottedIPv4(address, parsed))
        return true;
    problems.append(address.isEmpty() ? QStringLiteral("%1 is empty, not an address (a.b.c.d)").arg(key)
                                      : QStringLiteral("%1=%2 is not an address (a.b.c.d)").arg(key, Shown(address)));
    return false;
}

// Listen mode: connections to the RIX would reach our own listener, each one accepted as a client
// that connects again.
bool RixIsOwnListener(const RuntimeState& settings, const QString& listenAddress)
{
    if (settings.OperationMode != Constants::ListenMode || settings.RixIPPort != settings.ClientIPPort)
        return false;
    quint32 rix = 0;
    quint32 listener = 0; // every local address
    if (!ParseDottedIPv4(settings.RixIPAddress, rix)
        || (!listenAddress.isEmpty() && !ParseDottedIPv4(listenAddress, listener)))
        return false;
    // A connection to 0.0.0.0 goes to this host's loopback address.
    if (rix == 0)
        rix = 0x7f000001;
    if (listener != 0)
        return rix == listener;
    return NativeSocket::HostHasAddress(rix).value_or(NativeSocket::IsLoopback(rix));
}

QStringList Examine(const RuntimeState& settings, const QString& listenAddress, QStringList* notes)
{
    QStringList problems = settings.SettingsRead.Problems;
    CheckPort(problems, QStringLiteral("RIX IP Port"), settings.RixIPPort);
    const bool rixAddress = CheckAddress(problems, QStringLiteral("RIX IP Address"), settings.RixIPAddress);
    CheckPort(problems, QStringLiteral("Client IP Port"), settings.ClientIPPort);
    if (settings.OperationMode == Constants::ConnectMode)
        CheckAddress(problems, QStringLiteral("Client IP Address"), settings.ClientIPAddress);
    if (rixAddress && Constants::IsPort(settings.RixIPPort) && RixIsOwnListener(settings, listenAddress))
        problems.append(QStringLiteral("RIX IP Address=%1 and RIX IP Port=%2 are this relay's own client port")
                            .arg(Shown(settings.RixIPAddress))
                            .arg(settings.RixIPPort));
    quint32 listener = 0;
    if (ParseDottedIPv4(listenAddress, listener) && listener != 0 && NativeSocket::HostHasAddress(listener) == false)
        problems.append(QStringLiteral("--listen-address %1 is not an address of this host").arg(listenAddress));
    if (notes && !NativeSocket::HostHasAddress(0x7f000001).has_value())
        notes->append(QStringLiteral("this host's addresses cannot be listed here: the listen address and the RIX "
                                     "address are checked against the loopback network only"));
    return problems;
}

QString AllowedText(const std::vector<AllowedNetwork>& allowed)
{
    if (allowed.empty())
        return QStringLiteral("(any client)");
    QStringList networks;
    for (const AllowedNetwork& network : allowed)
        networks.append(NativeSocket::DottedAddress(network.Address) + u'/'
                        + QString::number(std::popcount(network.Mask)));
    return networks.join(u' ');
}

} // namespace

QStringList SettingsProblems(const RuntimeState& settings, const QString& listenAddress)
{
    return Examine(settings, listenAddress, nullptr);
}

int RunSettingsCheck(ProgramKind kind, const Options& options)
{
    const QString folder = ChooseProgramFolder(kind, options);
    if (folder.isEmpty())
        return 2;
    RuntimeState settings;
    settings.AppPath = ProgramFolder(folder);
    SilentReporter silent;
    ReadSettingsFile(settings, silent);
    QStringList notes;
    const QStringList problems = Examine(settings, options.ListenAddress, &notes);

    QString out = QStringLiteral("Program folder: %1\n").arg(QDir::toNativeSeparators(folder));
    if (!QFileInfo(folder).isDir())
        notes.append(QStringLiteral("the program folder does not exist yet; it is made at start"));
    switch (settings.SettingsRead.Kind) {
    case SettingsFileRecord::Found::NoFile:
        out += QStringLiteral("iplog.ini: none, the defaults apply (it is written at the first orderly shutdown)\n");
        break;
    case SettingsFileRecord::Found::Settings:
        out += QStringLiteral("iplog.ini: read\n");
        break;
    case SettingsFileRecord::Found::Unusable:
        out += QStringLiteral("iplog.ini: not usable\n");
        break;
    }
    out += QStringLiteral("Settings:\n");
    const QStringList lines = SettingsText(settings).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    for (const QString& line : lines.mid(1)) // after "CONFIGURATION"
        out += QStringLiteral("  ") + Shown(line) + u'\n';
    out += QStringLiteral("Options:\n  --listen-address %1\n  --allow %2\n  --max-clients %3\n  --keep-logs %4\n")
               .arg(options.ListenAddress.isEmpty() ? QStringLiteral("(all addresses)") : options.ListenAddress,
                    AllowedText(options.Allowed))
               .arg(options.MaxClients)
               .arg(options.KeepLogs);
    out += QStringLiteral("  --metrics %1\n")
               .arg(options.MetricsPort == 0 ? QStringLiteral("(none)")
                                             : options.MetricsAddress + u':' + QString::number(options.MetricsPort));
    for (const QString& key : settings.SettingsRead.Missing)
        notes.append(QStringLiteral("iplog.ini has no \"%1=\" line: %1 keeps its start value (the defaults apply "
                                    "only when there is no iplog.ini)")
                         .arg(key));
    for (const QString& note : notes)
        out += QStringLiteral("note: ") + note + u'\n';
    for (const QString& problem : problems)
        out += QStringLiteral("problem: ") + problem + u'\n';
    out += problems.isEmpty() ? QStringLiteral("These settings are usable.\n")
                              : QStringLiteral("These settings are not usable (%1 %2).\n")
                                    .arg(problems.size())
                                    .arg(problems.size() == 1 ? QStringLiteral("problem") : QStringLiteral("problems"));
    std::fputs(out.toLocal8Bit().constData(), stdout);
    std::fflush(stdout);
    return problems.isEmpty() ? 0 : 2;
}

void JournalSettingsProblems(const RuntimeState& settings, const QString& listenAddress)
{
    for (const QString& problem : SettingsProblems(settings, listenAddress))
        Journal::Write(Journal::Priority::Warning, QStringLiteral("settings problem: ") + problem);
}

void ReportSettingsNotApplied(ErrorReporter& errors, const QStringList& problems)
{
    const ReportText report = Reports::SettingsNotApplied(problems.join(QStringLiteral("; ")));
    errors.Report(report);
    Journal::Write(Journal::Priority::Warning, report.Message + QStringLiteral("; the running settings stay"));
}
