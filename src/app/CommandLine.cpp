#include "app/CommandLine.h"

#include "core/CheckIPAddress.h"
#include "core/RuntimeState.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryFile>

#include <cstdio>

namespace {

void Print(FILE* stream, const QString& text)
{
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fflush(stream);
}

// Tells the operator what is wrong with the command line, on stderr.
int Refuse(const QString& program, const QString& message)
{
    Print(stderr,
          program + QStringLiteral(": ") + message + QStringLiteral("\nTry '") + program
              + QStringLiteral(" --help' for more information.\n"));
    return 2;
}

// A whole decimal number in min..max, nothing else.
std::optional<int> Number(const QString& text, int min, int max)
{
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    if (!ok || text.isEmpty() || !text.front().isDigit() || value < min || value > max)
        return std::nullopt;
    return value;
}

// Whether files can be created in the folder: tried, not guessed from permission bits.
bool IsWritableFolder(const QString& folder)
{
    QTemporaryFile probe(folder + QStringLiteral("/.tolvane-write-test-XXXXXX"));
    return probe.open();
}

// The folder is there, or made, and files can be created in it. A check only looks: it makes and
// tries nothing, and a missing folder will do when the nearest folder above it can be written.
bool MakeWritableFolder(const QString& folder, bool lookOnly)
{
    if (!lookOnly)
        return QDir().mkpath(folder) && IsWritableFolder(folder);
    QFileInfo info(folder);
    while (!info.exists() && !info.isRoot())
        info.setFile(info.absolutePath());
    return info.isDir() && info.isWritable();
}

// The program's own folder holds its settings and logs, unless it is a folder of installed programs:
// root may write to /usr/bin, but logs do not belong there.
bool IsUsableOwnFolder(const QString& folder, bool lookOnly)
{
    static const QStringList systemFolders
        = {QStringLiteral("/usr/bin"),        QStringLiteral("/usr/sbin"), QStringLiteral("/usr/local/bin"),
           QStringLiteral("/usr/local/sbin"), QStringLiteral("/bin"),      QStringLiteral("/sbin")};
    return !systemFolders.contains(QDir::cleanPath(folder)) && MakeWritableFolder(folder, lookOnly);
}

} // namespace

std::optional<int> ParseCommandLine(const QStringList& arguments, ProgramKind kind, Options& options)
{
    const QString program = kind == ProgramKind::Window ? QStringLiteral("tolvane") : QStringLiteral("tolvaned");
    QCommandLineParser parser;
    parser.setApplicationDescription(
        kind == ProgramKind::Window
            ? QStringLiteral("Relays TCP between clients and a RIX, with a status window (none when there is no\n"
                             "display). Settings are in iplog.ini in the program folder, logs beside it.")
            : QStringLiteral("Relays TCP between clients and a RIX, without a window: the service form of\n"
                             "tolvane. Settings are in iplog.ini in the program folder, logs beside it.\n"
                             "SIGHUP re-reads iplog.ini; SIGTERM and SIGINT shut down in order."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help and exit."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Show the version and exit."));
    const QCommandLineOption folder(
        QStringLiteral("folder"),
        kind == ProgramKind::Window
            ? QStringLiteral(
                "Program folder for iplog.ini and the logs (default: the program's own folder, or the "
                "per-user data folder when that cannot be written or holds installed programs, as /usr/bin).")
            : QStringLiteral("Program folder for iplog.ini and the logs (default: the program's own folder; "
                             "required when that cannot be written or holds installed programs, as /usr/bin)."),
        QStringLiteral("dir"));
    const QCommandLineOption listenAddress(
        QStringLiteral("listen-address"),
        QStringLiteral("Local IPv4 address the client listener binds (default: all)."), QStringLiteral("addr"));
    const QCommandLineOption allow(QStringLiteral("allow"),
                                   QStringLiteral("Accept clients only from this network, a.b.c.d/len or one address; "
                                                  "repeatable (default: any). Others are closed at once."),
                                   QStringLiteral("net"));
    const QCommandLineOption maxClients(
        QStringLiteral("max-clients"),
        QStringLiteral("Close new clients at once while n are connected (1 to %1, the default).")
            .arg(ClientAdmission::DefaultMaxClients),
        QStringLiteral("n"));
    const QCommandLineOption keepLogs(QStringLiteral("keep-logs"),
                                      QStringLiteral("Keep at most n dated copies of each log (default 0: keep all)."),
                                      QStringLiteral("n"));
    const QCommandLineOption metrics(QStringLiteral("metrics"),
                                     QStringLiteral("Serve the relay's counters for Prometheus at "
                                                    "http://addr:port/metrics, addr a local IPv4 address "
                                                    "(default: none)."),
                                     QStringLiteral("addr:port"));
    const QCommandLineOption check(QStringLiteral("check"),
                                   QStringLiteral("Read iplog.ini and the options, print the settings that would be "
                                                  "used and every problem found, and exit: 0 when all are usable, 2 "
                                                  "when not. Opens no socket and writes no file."));
    const QCommandLineOption quietSessions(
        QStringLiteral("quiet-sessions"),
        QStringLiteral("Write no line to standard error (the journal) at the end of each client's session."));
    parser.addOptions(
        {help, version, folder, listenAddress, allow, maxClients, keepLogs, quietSessions, metrics, check});

    if (!parser.parse(arguments))
        return Refuse(program, parser.errorText());
    if (parser.isSet(help)) {
        // Without an application object Qt cannot name the program in the usage line.
        QString text = parser.helpText();
        text.replace(QStringLiteral("<executable_name>"), program);
        Print(stdout, text);
        return 0;
    }
    if (parser.isSet(version)) {
        Print(stdout, program + u' ' + QCoreApplication::applicationVersion() + u'\n');
        return 0;
    }
    if (!parser.positionalArguments().isEmpty())
        return Refuse(program, QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first()));

    options = Options();
    options.Check = parser.isSet(check);
    options.QuietSessions = parser.isSet(quietSessions);
    options.Folder = parser.value(folder);
    if (parser.isSet(folder) && options.Folder.isEmpty())
        return Refuse(program, QStringLiteral("--folder needs a folder"));
    if (parser.isSet(listenAddress)) {
        quint32 address = 0;
        options.ListenAddress = parser.value(listenAddress);
        if (!ParseDottedIPv4(options.ListenAddress, address))
            return Refuse(
                program,
                QStringLiteral("--listen-address '%1' is not a dotted IPv4 address").arg(options.ListenAddress));
    }
    for (const QString& text : parser.values(allow)) {
        AllowedNetwork network;
        if (!ParseAllowedNetwork(text, network))
            return Refuse(program, QStringLiteral("--allow '%1' is not a.b.c.d/len or a.b.c.d").arg(text));
        options.Allowed.push_back(network);
    }
    if (parser.isSet(maxClients)) {
        const auto n = Number(parser.value(maxClients), 1, ClientAdmission::DefaultMaxClients);
        if (!n)
            return Refuse(program,
                          QStringLiteral("--max-clients '%1' is not a number from 1 to %2")
                              .arg(parser.value(maxClients))
                              .arg(ClientAdmission::DefaultMaxClients));
        options.MaxClients = *n;
    }
    if (parser.isSet(keepLogs)) {
        const auto n = Number(parser.value(keepLogs), 0, 1'000'000);
        if (!n)
            return Refuse(
                program,
                QStringLiteral("--keep-logs '%1' is not a number from 0 to 1000000").arg(parser.value(keepLogs)));
        options.KeepLogs = *n;
    }
    if (parser.isSet(metrics)) {
        const QString text = parser.value(metrics);
        const QStringList parts = text.split(u':');
        quint32 address = 0;
        const auto port = parts.size() == 2 ? Number(parts[1], 1, 65535) : std::nullopt;
        if (!port || !ParseDottedIPv4(parts[0], address))
            return Refuse(program,
                          QStringLiteral("--metrics '%1' is not addr:port, a dotted IPv4 address and a port "
                                         "from 1 to 65535")
                              .arg(text));
        options.MetricsAddress = parts[0];
        options.MetricsPort = quint16(*port);
    }
    return std::nullopt;
}

QString ChooseProgramFolder(ProgramKind kind, const Options& options)
{
    const QString program = kind == ProgramKind::Window ? QStringLiteral("tolvane") : QStringLiteral("tolvaned");
    FILE* out = options.Check ? stdout : stderr;
    if (!options.Folder.isEmpty()) {
        const QString folder = QDir(options.Folder).absolutePath();
        if (!MakeWritableFolder(folder, options.Check)) {
            Print(out, QStringLiteral("%1: cannot write to the folder %2\n").arg(program, folder));
            return {};
        }
        return folder;
    }
    const QString own = QCoreApplication::applicationDirPath();
    if (IsUsableOwnFolder(own, options.Check))
        return own;
    if (kind == ProgramKind::Service) {
        Print(out,
              QStringLiteral("%1: the program's folder %2 is not for its files; name a folder for "
                             "iplog.ini and the logs with --folder DIR\n")
                  .arg(program, own));
        return {};
    }
    const QString perUser = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    if (perUser.isEmpty() || !MakeWritableFolder(perUser, options.Check)) {
        Print(out,
              QStringLiteral("%1: the program's folder %2 is not for its files, and %3 cannot be written; "
                             "name a folder with --folder DIR\n")
                  .arg(program, own, perUser));
        return {};
    }
    Print(out,
          QStringLiteral("%1: the program's folder %2 is not for its files; using %3\n").arg(program, own, perUser));
    return perUser;
}

QStringList ArgumentList(int argc, char* argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    return arguments;
}
