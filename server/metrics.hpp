// Counters for /metrics, in the Prometheus text format: updates by protocol and outcome,
// DNS pushes done and failed (pending and names are read from the store), creations, latency.
#pragma once

#include <array>
#include <atomic>
#include <map>
#include <mutex>
#include <string>

namespace qserver {

class Metrics {
 public:
  void CountUpdate(const std::string& protocol, const std::string& outcome);
  void ObserveSeconds(double seconds);
  std::atomic<unsigned long long> pushesDone{0}, pushesFailed{0}, changesPushed{0}, setAside{0};
  std::atomic<unsigned long long> creations{0}, creationsRefused{0};  // the creation form's
  std::string Text(long long pending, unsigned long long logDropped, long long names);

 private:
  static constexpr std::array<double, 10> kBuckets = {0.0001, 0.00025, 0.0005, 0.001, 0.0025,
                                                      0.005,  0.01,    0.05,   0.25,  1.0};
  std::mutex mutex_;
  std::map<std::pair<std::string, std::string>, unsigned long long> updates_;
  std::array<std::atomic<unsigned long long>, kBuckets.size() + 1> buckets_{};
  std::atomic<unsigned long long> count_{0};
  std::atomic<unsigned long long> sumMicros_{0};
};

}  // namespace qserver
