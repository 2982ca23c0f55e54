// formatbench: how fast the data log renders a burst (FormatDataBytes), in MB/s of input, on 1 MiB of
// each kind of data. Best of 15 rounds, each rendering the mebibyte 4 times; one "name value" line
// per figure.
#include "files/DataLog.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QRandomGenerator>

#include <algorithm>
#include <cstdio>

namespace {

double MegabytesPerSecond(const QByteArray& data)
{
    qint64 best = -1;
    qsizetype total = 0;
    for (int round = 0; round < 15; ++round) {
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < 4; ++i)
            total += FormatDataBytes(data).size();
        const qint64 took = timer.nsecsElapsed();
        best = best < 0 ? took : std::min(best, took);
    }
    if (total == 0) // keeps the rendering from being optimised away
        return 0;
    return 4.0 * double(data.size()) / double(best) * 1e3;
}

} // namespace

int main()
{
    const qsizetype mebibyte = 1024 * 1024;
    QByteArray everyByte(mebibyte, Qt::Uninitialized);
    for (qsizetype i = 0; i < mebibyte; ++i)
        everyByte[i] = char(i);
    const QByteArray line("2026-12-07 06:49:53 LOT 17 weight 2,304 kg bay 4 status READY\r\n");
    const QByteArray text = line.repeated(mebibyte / line.size() + 1).left(mebibyte);
    const QByteArray tabbed = QByteArray(line).replace(' ', '\t').repeated(mebibyte / line.size() + 1).left(mebibyte);
    QByteArray random(mebibyte, Qt::Uninitialized);
    QRandomGenerator(21).fillRange(reinterpret_cast<quint32*>(random.data()), mebibyte / 4);
    std::printf("every_byte_mb_s %.0f\n", MegabytesPerSecond(everyByte));
    std::printf("text_mb_s %.0f\n", MegabytesPerSecond(text));
    std::printf("text_tabs_mb_s %.0f\n", MegabytesPerSecond(tabbed));
    std::printf("random_mb_s %.0f\n", MegabytesPerSecond(random));
    std::printf("zero_bytes_mb_s %.0f\n", MegabytesPerSecond(QByteArray(mebibyte, '\0')));
    return 0;
}
