#include "app/MetricsText.h"

#include "app/Engine.h"
#include "core/RelayCounters.h"
#include "core/RuntimeState.h"

namespace {

// A label value with backslash, double quote and line feed escaped.
QByteArray Escaped(const QString& value)
{
    QByteArray text = value.toUtf8();
    text.replace('\\', "\\\\").replace('"', "\\\"").replace('\n', "\\n");
    return text;
}

class Exposition {
public:
    // Starts a family: its HELP and TYPE lines.
    void Family(const char* name, const char* type, const char* help)
    {
        m_name = name;
        m_text += "# HELP " + m_name + ' ' + help + "\n# TYPE " + m_name + ' ' + type + '\n';
    }
    // One sample of the current family; labels as name="value" pairs, already escaped.
    void Sample(double value, const QByteArray& labels = {})
    {
        m_text += m_name;
        if (!labels.isEmpty())
            m_text += '{' + labels + '}';
        m_text += ' ' + QByteArray::number(value, 'g', 17) + '\n';
    }
    void Sample(qint64 value, const QByteArray& labels = {})
    {
        m_text += m_name;
        if (!labels.isEmpty())
            m_text += '{' + labels + '}';
        m_text += ' ' + QByteArray::number(value) + '\n';
    }
    QByteArray Text() const { return m_text; }

private:
    QByteArray m_name;
    QByteArray m_text;
};

double Seconds(const QDateTime& moment)
{
    return double(moment.toMSecsSinceEpoch()) / 1000.0;
}

} // namespace

QByteArray MetricsText(Engine& engine)
{
    const RelayCounters& counters = engine.Counters;
    const RelayCounters::Totals& all = counters.All();
    const RelayCounters::LinkCounters& rix = counters.Rix();
    const qint64 nowMs = counters.NowMs();
    const double now = Seconds(engine.SystemClock.Now());
    Exposition out;

    out.Family("tolvane_uptime_seconds", "gauge", "Time since the relay started.");
    out.Sample(double(nowMs - engine.StartedMs()) / 1000.0);
    out.Family("tolvane_clients_connected", "gauge", "Clients connected now.");
    qint64 present = 0;
    for (const RelayCounters::Session& session : counters.Sessions())
        present += session.Present ? 1 : 0;
    out.Sample(present);
    out.Family("tolvane_clients_accepted_total", "counter", "Clients greeted, and connect mode's connections.");
    out.Sample(all.Accepted);
    out.Family("tolvane_clients_refused_total", "counter", "Connections turned away at once, by reason.");
    out.Sample(all.RefusedNotAllowed, "reason=\"allow-list\"");
    out.Sample(all.RefusedAtCap, "reason=\"cap\"");
    out.Sample(all.RefusedNoDescriptor, "reason=\"no-descriptor\"");
    out.Family("tolvane_clients_ended_total", "counter", "Client sessions that have ended.");
    out.Sample(all.Ended);
    out.Family("tolvane_received_from_clients_bytes_total", "counter", "Bytes read from clients.");
    out.Sample(all.FromClientsBytes);
    out.Family("tolvane_sent_to_clients_bytes_total", "counter",
               "Bytes for clients: the greeting and the RIX's bytes after the zero-byte rule.");
    out.Sample(all.ToClientsBytes);
    out.Family("tolvane_discarded_bytes_total", "counter", "Bytes that never reached the other side, by source.");
    out.Sample(all.DiscardedFromClientsBytes, "from=\"client\"");
    out.Sample(all.DiscardedFromRixBytes, "from=\"rix\"");
    out.Family("tolvane_drains_given_up_total", "counter",
               "RIX connections of departed clients given up with bytes unacknowledged.");
    out.Sample(engine.Net.Draining.GivenUp());
    out.Family("tolvane_data_log_bursts_total", "counter", "Bursts written to the data log.");
    out.Sample(engine.Data.Written());
    out.Family("tolvane_log_rollovers_total", "counter", "Logs rolled over to a dated copy, by log.");
    out.Sample(engine.Errors.RollOvers(), "log=\"error\"");
    out.Sample(engine.Events.RollOvers(), "log=\"event\"");
    out.Sample(engine.Data.RollOvers(), "log=\"data\"");
    out.Family("tolvane_errors_reported_total", "counter", "Failures reported to the error log.");
    out.Sample(engine.Errors.Reported());

    const QByteArray rixLabels = "address=\"" + Escaped(engine.State.RixIPAddress) + "\",port=\""
        + QByteArray::number(engine.State.RixIPPort) + '"';
    out.Family("tolvane_rix_up", "gauge", "Whether RIX connections can be made now.");
    out.Sample(qint64(rix.Up ? 1 : 0), rixLabels);
    out.Family("tolvane_rix_last_change_timestamp_seconds", "gauge", "When the RIX link last went up or down.");
    if (rix.Known)
        out.Sample(Seconds(rix.Since), rixLabels);
    out.Family("tolvane_rix_connections_total", "counter", "RIX connections made.");
    out.Sample(rix.ConnectionsMade);
    out.Family("tolvane_rix_drops_total", "counter", "RIX connections the RIX ended, or that broke, while in use.");
    out.Sample(rix.Drops);
    out.Family("tolvane_rix_attempts_failed_total", "counter", "RIX connection attempts that failed.");
    out.Sample(rix.AttemptsFailed);
    out.Family("tolvane_rix_last_failure_info", "gauge", "The last RIX connection failure, in the system's words.");
    if (!rix.LastFailure.isEmpty())
        out.Sample(qint64(1), "reason=\"" + Escaped(rix.LastFailure) + '"');

    // Per client: one family at a time, a sample for each client present. The labels are slot and
    // address only, so that a client coming back from a new port continues its series; its port is in
    // tolvane_client_info.
    using Session = RelayCounters::Session;
    const std::vector<Session>& sessions = counters.Sessions();
    std::vector<std::pair<size_t, QByteArray>> clients;
    for (size_t slot = 1; slot < sessions.size(); ++slot) {
        if (sessions[slot].Present)
            clients.emplace_back(slot,
                                 "slot=\"" + QByteArray::number(qulonglong(slot)) + "\",address=\""
                                     + Escaped(sessions[slot].Address) + '"');
    }
    const auto perClient = [&](const char* name, const char* type, const char* help, auto value) {
        out.Family(name, type, help);
        for (const auto& [slot, labels] : clients)
            out.Sample(value(slot, sessions[slot]), labels);
    };
    out.Family("tolvane_client_info", "gauge", "The client's port: 1 for each client present.");
    for (const auto& [slot, labels] : clients)
        out.Sample(qint64(1), labels + ",port=\"" + QByteArray::number(sessions[slot].Port) + '"');
    perClient("tolvane_client_connected_since_timestamp_seconds", "gauge", "When the client connected.",
              [](size_t, const Session& s) { return Seconds(s.Since); });
    perClient("tolvane_client_last_activity_timestamp_seconds", "gauge", "The client's last burst, either way.",
              [&](size_t, const Session& s) { return now - double(nowMs - s.LastActivityMs) / 1000.0; });
    perClient("tolvane_client_received_bytes_total", "counter", "Bytes read from the client.",
              [](size_t, const Session& s) { return s.FromClientBytes; });
    perClient("tolvane_client_received_bursts_total", "counter", "Bursts read from the client.",
              [](size_t, const Session& s) { return s.FromClientBursts; });
    perClient("tolvane_client_sent_bytes_total", "counter", "Bytes for the client, the greeting included.",
              [](size_t, const Session& s) { return s.ToClientBytes; });
    perClient("tolvane_client_sent_bursts_total", "counter", "RIX bursts for the client.",
              [](size_t, const Session& s) { return s.ToClientBursts; });
    perClient("tolvane_client_zero_bytes_removed_total", "counter", "Zero bytes the zero-byte rule removed.",
              [](size_t, const Session& s) { return s.ZerosRemoved; });
    perClient("tolvane_client_waiting_for_rix_bytes", "gauge", "Bytes from the client not yet taken by the RIX.",
              [&](size_t slot, const Session&) { return engine.Net.WaitingFor(SlotPath::Side::Rix, int(slot)); });
    perClient("tolvane_client_waiting_for_client_bytes", "gauge", "Bytes for the client it has not yet taken.",
              [&](size_t slot, const Session&) { return engine.Net.WaitingFor(SlotPath::Side::Client, int(slot)); });
    return out.Text();
}
