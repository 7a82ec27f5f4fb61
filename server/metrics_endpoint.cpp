// /metrics: the counters in the Prometheus text format, to loopback peers that no trusted
// proxy speaks for, or on the --metrics-listen socket (the route table says which).
#include "server/route.hpp"

namespace qserver {

Reply MetricsEndpoint(Site& site, const Request&) {
  Reply reply;
  reply.type = "text/plain; version=0.0.4";
  reply.body =
      site.metrics.Text(site.options.zone.empty() ? 0 : site.store.PendingCount().value, site.log.dropped(),
                        static_cast<long long>(site.store.Count().value));
  reply.outcome = "metrics";
  return reply;
}

}  // namespace qserver
