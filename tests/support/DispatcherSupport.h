#pragma once

// The engine tests run twice: under Qt's own event dispatcher, as in the window program, and with
// TOLVANE_TEST_DISPATCHER=epoll under ours, as in tolvaned. CTest registers both.

#include "net/EpollDispatcher.h"

#include <QCoreApplication>
#include <QTest>

#include <cstring>

inline bool WantsEpollDispatcher()
{
    return qgetenv("TOLVANE_TEST_DISPATCHER") == "epoll";
}

// Before the application object is made.
inline void InstallEpollDispatcher()
{
    int error = 0;
    std::unique_ptr<EpollDispatcher> dispatcher = EpollDispatcher::Create(error);
    if (!dispatcher)
        qFatal("the epoll dispatcher could not be made: %s", std::strerror(error));
    QCoreApplication::setEventDispatcher(dispatcher.release());
}

// QTEST_GUILESS_MAIN, with the dispatcher the environment asks for.
#define TOLVANE_TEST_MAIN(TestObject)                                                                                  \
    int main(int argc, char* argv[])                                                                                   \
    {                                                                                                                  \
        if (WantsEpollDispatcher())                                                                                    \
            InstallEpollDispatcher();                                                                                  \
        QCoreApplication app(argc, argv);                                                                              \
        if (WantsEpollDispatcher() != (EpollDispatcher::Current() != nullptr))                                         \
            qFatal("the test runs under another event dispatcher than asked for");                                     \
        TestObject test;                                                                                               \
        QTEST_SET_MAIN_SOURCE_PATH                                                                                     \
        return QTest::qExec(&test, argc, argv);                                                                        \
    }
