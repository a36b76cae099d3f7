#include "client/metrics.h"

#include <cinttypes>

#include "client/gateway.h"
#include "client/outage.h"
#include "fileutil/textfile.h"

namespace {

// The file's text: families, each with its help and type, and samples that carry
// the instance's label before their own.
class Text {
 public:
  explicit Text(const char* instance) { escape(label_, instance); }
  // A label value's escapes.
  template <std::size_t N>
  static void escape(zel::Text<N>& out, const char* value) {
    for (const char* c = value; *c != '\0'; ++c) {
      if (*c == '\\' || *c == '"' || *c == '\n') out.append('\\');
      out.append(*c == '\n' ? 'n' : *c);
    }
  }
  void family(const char* name, const char* type, const char* help) {
    ok_ = ok_ && text_.appendf("# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
  }
  // name{instance_name="...",more} value
  void sample(const char* name, const char* more, const char* value) {
    ok_ = ok_ && text_.appendf("%s{instance_name=\"%s\"%s%s} %s\n", name, label_.c_str(),
                               more[0] != '\0' ? "," : "", more, value);
  }
  void count(const char* name, const char* more, long long n) {
    char v[32];
    std::snprintf(v, sizeof v, "%lld", n);
    sample(name, more, v);
  }
  bool write(const ZELClient& client) {
    return ok_ && FILE_ReplaceRawQuick(*client.files, client.config.metricsFile.c_str(),
                                       text_.c_str(), text_.size()) == plat::Status::Ok;
  }

 private:
  zel::Text<16 * 1024> text_;
  zel::Text<150> label_;
  bool ok_ = true;
};

// Each gateway address's state once it was tried, and with TLS its handshakes
// failed by fault and its certificate's end.
void links(const ZELClient& client, Text& m) {
  const ZELClientConfig& config = client.config;
  const GatewayLinks& l = client.links;
  zel::Text<kHostMax + 24> label[kGatewayAddresses];
  bool any = false;
  for (int i = 0; i < config.addressCount; ++i) {
    label[i].append("address=\"");
    Text::escape(label[i], zc::address_text(config, i).c_str());
    label[i].append('"');
    any = any || l.known[i];
  }
  if (any) {
    m.family("zelclient_gateway_address_up", "gauge",
             "1 when the last connection to the address succeeded and was answered.");
    for (int i = 0; i < config.addressCount; ++i) {
      if (l.known[i])
        m.count("zelclient_gateway_address_up", label[i].c_str(), l.failing[i] ? 0 : 1);
    }
  }
  if (!config.tls) return;
  m.family("zelclient_tls_failures_total", "counter",
           "TLS handshakes with the gateway failed, by fault.");
  for (int f = 1; f <= static_cast<int>(plat::TlsFault::Other); ++f) {
    char fault[40];
    std::snprintf(fault, sizeof fault, "fault=\"%s\"",
                  plat::tls_fault_name(static_cast<plat::TlsFault>(f)));
    m.count("zelclient_tls_failures_total", fault, static_cast<long long>(l.tlsFailures[f]));
  }
  any = false;
  for (int i = 0; i < config.addressCount; ++i) any = any || l.notAfter[i] != 0;
  if (!any) return;
  m.family("zelclient_tls_certificate_expiry_timestamp_seconds", "gauge",
           "The end of the gateway certificate's validity, in Unix time, by address.");
  for (int i = 0; i < config.addressCount; ++i) {
    if (l.notAfter[i] != 0) {
      m.count("zelclient_tls_certificate_expiry_timestamp_seconds", label[i].c_str(),
              l.notAfter[i]);
    }
  }
}

}  // namespace

bool zc::write_metrics(ZELClient& client, int waiting, int inFlight) {
  if (client.config.metricsFile.empty()) return true;
  const Observed& o = client.observed;
  const Outage& g = client.outage;
  const StandIn& s = client.standin;
  Text m(client.config.instance.c_str());
  const auto gauge = [&](const char* name, const char* help, long long v) {
    m.family(name, "gauge", help);
    m.count(name, "", v);
  };
  m.family("zelclient_build_info", "gauge", "The service's version, as a label; always 1.");
  m.count("zelclient_build_info", "version=\"" ZEL_VERSION "\"", 1);
  gauge("zelclient_ready", "1 once the service watches its root and has made its first pass.",
        o.run == Observed::Run::Ready ? 1 : 0);
  gauge("zelclient_start_time_seconds", "When the service started, in Unix time.", o.startedAt);
  gauge("zelclient_last_pass_timestamp_seconds",
        "When the service last wrote this file, in Unix time: at least once a minute while it "
        "lives.",
        client.clock());
  m.family("zelclient_requests_total", "counter", "Requests answered, by who gave the answer.");
  m.count("zelclient_requests_total", "outcome=\"gateway\"",
          static_cast<long long>(o.answeredGateway));
  m.count("zelclient_requests_total", "outcome=\"local\"", static_cast<long long>(o.answeredLocal));
  m.count("zelclient_requests_total", "outcome=\"error\"", static_cast<long long>(o.answeredError));
  m.family("zelclient_answers_not_delivered_total", "counter",
           "Answers dropped because the terminal asked again first.");
  m.count("zelclient_answers_not_delivered_total", "", static_cast<long long>(o.notDelivered));
  m.family("zelclient_requests_refused_total", "counter",
           "Request names that were no readable regular file.");
  m.count("zelclient_requests_refused_total", "", static_cast<long long>(o.refused));
  gauge("zelclient_answers_waiting", "Answers decided and not yet published.", waiting);
  gauge("zelclient_exchanges_in_flight", "Gateway exchanges in flight.", inFlight);
  gauge("zelclient_journal_lines",
        "Lines of the current year in the journal of local pre-authorisations.",
        static_cast<long long>(o.journalLines));
  if (g.gateway != Outage::Gateway::Unknown) {  // known from the first scrape after a restart
    gauge("zelclient_gateway_up",
          "1 when the gateway's last contact (an exchange, a life signal) succeeded.",
          g.gateway == Outage::Gateway::Up ? 1 : 0);
  }
  if (o.lastGatewayAt != 0) {
    gauge("zelclient_gateway_last_answer_timestamp_seconds",
          "The gateway's last answer, in Unix time.", o.lastGatewayAt);
  }
  links(client, m);
  m.family("zelclient_standin_answers", "gauge",
           "Local pre-authorisations of the current outage and of the day.");
  m.count("zelclient_standin_answers", "period=\"outage\"", static_cast<long long>(g.local));
  m.count("zelclient_standin_answers", "period=\"day\"",
          static_cast<long long>(zc::outage_today(client)));
  gauge("zelclient_standin_outage_seconds", "Seconds since the outage began; 0 without one.",
        g.outageSince != 0 ? client.clock() - g.outageSince : 0);
  if (s.maxPerOutage >= 0 || s.maxPerDay >= 0) {
    m.family("zelclient_standin_answers_limit", "gauge",
             "The limits set on local pre-authorisations per outage and per day.");
    if (s.maxPerOutage >= 0)
      m.count("zelclient_standin_answers_limit", "period=\"outage\"", s.maxPerOutage);
    if (s.maxPerDay >= 0) m.count("zelclient_standin_answers_limit", "period=\"day\"", s.maxPerDay);
  }
  if (s.maxMinutes >= 0) {
    gauge("zelclient_standin_outage_limit_seconds",
          "The outage's length past which no local pre-authorisation is given.",
          static_cast<long long>(s.maxMinutes) * 60);
  }
  m.family("zelclient_exchange_duration_seconds", "histogram",
           "Gateway exchanges, from the request found to the exchange's end.");
  std::uint64_t count = 0;
  for (int b = 0; b <= kExchangeBuckets; ++b) {
    count += o.exchangeBuckets[b];
    char le[40];
    if (b < kExchangeBuckets) {
      std::snprintf(le, sizeof le, "le=\"%g\"", kBucketBounds[b]);
    } else {
      std::snprintf(le, sizeof le, "le=\"+Inf\"");
    }
    m.count("zelclient_exchange_duration_seconds_bucket", le, static_cast<long long>(count));
  }
  char sum[32];
  std::snprintf(sum, sizeof sum, "%.3f", o.exchangeSeconds);
  m.sample("zelclient_exchange_duration_seconds_sum", "", sum);
  m.count("zelclient_exchange_duration_seconds_count", "", static_cast<long long>(count));
  return m.write(client);
}
