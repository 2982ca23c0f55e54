#pragma once

#include <QByteArray>

class Engine;

// The engine's counters in the Prometheus text exposition format, version 0.0.4: names start
// "tolvane_", counters end in "_total", bytes in "_bytes", times in "_seconds", each with its HELP and
// TYPE lines. Per-client series carry slot, address and port labels, and go with their client.
QByteArray MetricsText(Engine& engine);
