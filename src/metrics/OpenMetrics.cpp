#include "metrics/OpenMetrics.h"

#include <cctype>
#include <charconv>
#include <cmath>

namespace kelvara {

namespace {

// Seconds from milliseconds, written exactly: "1765432123.456".
std::string SecondsOf(int64_t ms)
{
    const int64_t whole = ms / 1000;
    const int64_t part = ms % 1000;
    std::string text = std::to_string(whole) + ".";
    text += char('0' + part / 100);
    text += char('0' + part / 10 % 10);
    text += char('0' + part % 10);
    return text;
}

// The shortest text that reads back as the same float.
std::string NumberOf(float value)
{
    char buf[32];
    const auto end = std::to_chars(buf, buf + sizeof buf, value).ptr;
    return std::string(buf, end);
}

// A slave is up while its last exchange brought a whole, right reply, a
// Modbus exception included: it is there and it answers.
bool Answered(TExchangeOutcome outcome)
{
    return outcome == TExchangeOutcome::Ok || outcome == TExchangeOutcome::NotANumber ||
           outcome == TExchangeOutcome::Exception;
}

class TPage {
public:
    explicit TPage(TExposition format) : openMetrics_(format == TExposition::OpenMetrics) {}

    // A family's metadata. OpenMetrics names a counter's family without
    // the "_total" its samples carry; the older format names it with.
    void Family(const std::string& name, const char* type, const char* unit, const char* help)
    {
        const bool counter = std::string_view(type) == "counter";
        const std::string family = counter && !openMetrics_ ? name + "_total" : name;
        text_ += "# HELP " + family + " " + help + "\n";
        text_ += "# TYPE " + family + " " + type + "\n";
        if (openMetrics_ && *unit) text_ += "# UNIT " + family + " " + unit + "\n";
    }
    void Sample(const std::string& name, const std::string& labels, const std::string& value)
    {
        text_ += name;
        if (!labels.empty()) text_ += "{" + labels + "}";
        text_ += " " + value + "\n";
    }
    std::string Finish()
    {
        if (openMetrics_) text_ += "# EOF\n";
        return std::move(text_);
    }

private:
    bool openMetrics_;
    std::string text_;
};

std::string SlaveLabels(const TChannelSnapshot& c)
{
    return "slave=\"" + std::to_string(c.Slave) + "\",channel=\"" + EscapeLabelValue(c.Name) + "\"";
}

void RenderChannels(TPage& page, const TSessionSnapshot& s)
{
    page.Family("kelvara_temperature_celsius", "gauge", "celsius",
                "The temperature each channel's last scan logged, offsets applied; absent while it has none.");
    for (const TChannelSnapshot& c : s.Channels)
        if (!std::isnan(c.Temperature))
            page.Sample("kelvara_temperature_celsius", "channel=\"" + EscapeLabelValue(c.Name) + "\"",
                        NumberOf(c.Temperature));

    page.Family("kelvara_exchanges", "counter", "", "Exchanges with each slave since the logger started, by result.");
    for (const TChannelSnapshot& c : s.Channels)
        for (int k = 0; k < kOutcomeCount; ++k) {
            const auto outcome = static_cast<TExchangeOutcome>(k);
            if (outcome == TExchangeOutcome::None) continue;
            page.Sample("kelvara_exchanges_total", SlaveLabels(c) + ",result=\"" + ResultLabel(outcome) + "\"",
                        std::to_string(c.Status.Counts[k]));
        }

    page.Family("kelvara_slave_up", "gauge", "", "1 when the slave's last exchange brought a whole, right reply.");
    for (const TChannelSnapshot& c : s.Channels)
        page.Sample("kelvara_slave_up", SlaveLabels(c), Answered(c.Status.LastOutcome) ? "1" : "0");

    page.Family("kelvara_last_good_reading_timestamp_seconds", "gauge", "seconds",
                "When the last scan that read a value from the slave began, since the epoch.");
    for (const TChannelSnapshot& c : s.Channels)
        if (c.LastGoodMs > 0)
            page.Sample("kelvara_last_good_reading_timestamp_seconds", SlaveLabels(c), SecondsOf(c.LastGoodMs));
}

void RenderScans(TPage& page, const TSessionSnapshot& s)
{
    page.Family("kelvara_port_up", "gauge", "", "1 while the serial port is open.");
    page.Sample("kelvara_port_up", "", s.PortUp ? "1" : "0");

    page.Family("kelvara_scans", "counter", "", "Scans completed since the logger started.");
    page.Sample("kelvara_scans_total", "", std::to_string(s.Scans));

    const bool scanned = s.Scans > 0;
    page.Family("kelvara_scan_duration_seconds", "gauge", "seconds",
                "How long the last scan took, from its settling pause to its last reply.");
    if (scanned) page.Sample("kelvara_scan_duration_seconds", "", SecondsOf(s.LastScanDurationMs));
    page.Family("kelvara_last_scan_timestamp_seconds", "gauge", "seconds",
                "When the last scan began, since the epoch.");
    if (scanned) page.Sample("kelvara_last_scan_timestamp_seconds", "", SecondsOf(s.LastScanMs));
    page.Family("kelvara_last_scan_run_seconds", "gauge", "seconds",
                "The second of the run at which the last scan ran: the time field of its log line.");
    if (scanned) page.Sample("kelvara_last_scan_run_seconds", "", std::to_string(s.LastScanSecond));
}

void RenderAlarms(TPage& page, const TSessionSnapshot& s)
{
    static constexpr const char* kStates[] = {"normal", "pending", "raised", "no_data"};
    auto labels = [&s](const TAlarmStatus& a) {
        const bool port = a.Id.Channel < 0 || a.Id.Channel >= TSessionSnapshot::kSlots;
        return "channel=\"" + (port ? std::string("port") : EscapeLabelValue(s.Channels[a.Id.Channel].Name)) +
               "\",kind=\"" + std::string(AlarmKindName(a.Id.Kind)) + "\"";
    };
    page.Family("kelvara_alarm_state", "gauge", "",
                "Each alarm of the rules, 1 for the state it is in: normal, pending (its delay runs), raised, "
                "or no_data (no reading to judge).");
    for (const TAlarmStatus& a : s.Alarms.Alarms)
        for (int k = 0; k < 4; ++k)
            page.Sample("kelvara_alarm_state", labels(a) + ",state=\"" + kStates[k] + "\"",
                        int(a.State) == k ? "1" : "0");
    page.Family("kelvara_alarm_shown", "gauge", "",
                "1 while the alarm is shown: raised, or cleared and not yet acknowledged.");
    for (const TAlarmStatus& a : s.Alarms.Alarms) page.Sample("kelvara_alarm_shown", labels(a), a.Shown ? "1" : "0");
}

} // namespace

TExposition ExpositionFor(std::string_view accept)
{
    return accept.find("application/openmetrics-text") != std::string_view::npos ? TExposition::OpenMetrics
                                                                                 : TExposition::Text;
}

const char* ContentTypeOf(TExposition format)
{
    return format == TExposition::OpenMetrics ? "application/openmetrics-text; version=1.0.0; charset=utf-8"
                                              : "text/plain; version=0.0.4; charset=utf-8";
}

std::string EscapeLabelValue(std::string_view value)
{
    std::string out;
    out.reserve(value.size());
    for (const char c : value) {
        if (c == '\\' || c == '"')
            out += {'\\', c};
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

std::string ResultLabel(TExchangeOutcome outcome)
{
    std::string label = OutcomeName(outcome);
    for (char& c : label) c = c == ' ' ? '_' : char(std::tolower(static_cast<unsigned char>(c)));
    return label;
}

std::string RenderMetrics(const TSessionSnapshot& snapshot, TExposition format)
{
    TPage page(format);
    RenderChannels(page, snapshot);
    RenderScans(page, snapshot);
    RenderAlarms(page, snapshot);
    return page.Finish();
}

} // namespace kelvara
