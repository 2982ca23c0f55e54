#include "app/Signals.h"

#include <QObject>
#include <QSocketNotifier>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace Signals {

#ifdef Q_OS_UNIX

namespace {

// [0] is written by the handler, [1] read by the event loop. Both ends are non-blocking: a storm of
// signals may fill the pipe, and then the handler drops the byte rather than hang.
int signalPipe[2] = {-1, -1};

// Only async-signal-safe calls here: the signal's number goes into the pipe, nothing else.
void OnSignal(int number)
{
    const int savedErrno = errno;
    const char byte = char(number);
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[0], &byte, 1);
    errno = savedErrno;
}

} // namespace

void Catch()
{
    struct sigaction ignore { };
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    for (int number : {SIGPIPE, SIGUSR1, SIGUSR2, SIGALRM})
        sigaction(number, &ignore, nullptr);

    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalPipe) != 0) {
        std::perror("socketpair for signals (they now end the program without the orderly shutdown)");
        return;
    }
    struct sigaction action { };
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int number : {SIGTERM, SIGINT, SIGHUP})
        sigaction(number, &action, nullptr);
}

void Deliver(QObject* context, std::function<void()> onStop, std::function<void()> onReload)
{
    if (signalPipe[1] < 0)
        return;
    auto* notifier = new QSocketNotifier(signalPipe[1], QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context,
                     [notifier, onStop = std::move(onStop), onReload = std::move(onReload)] {
                         char numbers[64];
                         const ssize_t got = ::read(signalPipe[1], numbers, sizeof numbers);
                         for (ssize_t i = 0; i < got; ++i) {
                             if (numbers[i] == SIGHUP) {
                                 onReload();
                             } else {
                                 // Shutting down: nothing more is read.
                                 notifier->setEnabled(false);
                                 onStop();
                                 return;
                             }
                         }
                     });
}

#else

void Catch() { }
void Deliver(QObject*, std::function<void()>, std::function<void()>) { }

#endif

} // namespace Signals
