#include "server/metrics.hpp"

#include <cstdio>

namespace qserver {

void Metrics::CountUpdate(const std::string& protocol, const std::string& outcome) {
  std::lock_guard lock(mutex_);
  ++updates_[{protocol, outcome}];
}

void Metrics::ObserveSeconds(double seconds) {
  std::size_t i = 0;
  while (i < kBuckets.size() && seconds > kBuckets[i]) ++i;
  ++buckets_[i];
  ++count_;
  sumMicros_ += static_cast<unsigned long long>(seconds * 1e6);
}

std::string Metrics::Text(long long pending, unsigned long long logDropped, long long names) {
  std::string out =
      "# HELP quorvel_updates_total Updates answered, by protocol and outcome.\n"
      "# TYPE quorvel_updates_total counter\n";
  {
    std::lock_guard lock(mutex_);
    for (const auto& [key, value] : updates_) {
      out += "quorvel_updates_total{protocol=\"" + key.first + "\",outcome=\"" + key.second + "\"} " +
             std::to_string(value) + "\n";
    }
  }
  out +=
      "# HELP quorvel_dns_pushes_total UPDATE messages sent to the primary, by result.\n"
      "# TYPE quorvel_dns_pushes_total counter\n"
      "quorvel_dns_pushes_total{result=\"done\"} " +
      std::to_string(pushesDone) +
      "\n"
      "quorvel_dns_pushes_total{result=\"failed\"} " +
      std::to_string(pushesFailed) +
      "\n"
      "# HELP quorvel_dns_changes_pushed_total Names whose records reached the primary.\n"
      "# TYPE quorvel_dns_changes_pushed_total counter\n"
      "quorvel_dns_changes_pushed_total " +
      std::to_string(changesPushed) +
      "\n"
      "# HELP quorvel_dns_set_aside_total Names whose records the primary refused alone, set aside.\n"
      "# TYPE quorvel_dns_set_aside_total counter\n"
      "quorvel_dns_set_aside_total " +
      std::to_string(setAside) +
      "\n"
      "# HELP quorvel_dns_pending Names with DNS work not yet carried out.\n"
      "# TYPE quorvel_dns_pending gauge\n"
      "quorvel_dns_pending " +
      std::to_string(pending < 0 ? 0 : pending) +
      "\n"
      "# HELP quorvel_names Names in the store.\n"
      "# TYPE quorvel_names gauge\n"
      "quorvel_names " +
      std::to_string(names < 0 ? 0 : names) +
      "\n"
      "# HELP quorvel_creations_total Creation forms answered, by result.\n"
      "# TYPE quorvel_creations_total counter\n"
      "quorvel_creations_total{result=\"created\"} " +
      std::to_string(creations) +
      "\n"
      "quorvel_creations_total{result=\"refused\"} " +
      std::to_string(creationsRefused) +
      "\n"
      "# HELP quorvel_log_lines_dropped_total Log lines dropped while standard output stalled.\n"
      "# TYPE quorvel_log_lines_dropped_total counter\n"
      "quorvel_log_lines_dropped_total " +
      std::to_string(logDropped) +
      "\n"
      "# HELP quorvel_request_duration_seconds Time from the request line to the reply.\n"
      "# TYPE quorvel_request_duration_seconds histogram\n";
  unsigned long long cumulative = 0;
  char le[32];
  for (std::size_t i = 0; i < kBuckets.size(); ++i) {
    cumulative += buckets_[i];
    std::snprintf(le, sizeof le, "%g", kBuckets[i]);
    out += "quorvel_request_duration_seconds_bucket{le=\"" + std::string(le) + "\"} " +
           std::to_string(cumulative) + "\n";
  }
  cumulative += buckets_[kBuckets.size()];
  out += "quorvel_request_duration_seconds_bucket{le=\"+Inf\"} " + std::to_string(cumulative) + "\n";
  char sum[64];
  std::snprintf(sum, sizeof sum, "%.6f", static_cast<double>(sumMicros_) / 1e6);
  out += "quorvel_request_duration_seconds_sum " + std::string(sum) + "\n";
  out += "quorvel_request_duration_seconds_count " + std::to_string(count_) + "\n";
  return out;
}

}  // namespace qserver
