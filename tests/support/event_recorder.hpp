// Writes down every event of a connection as the service would see it, reading data as it
// comes, for the tests of the connection's order of events.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "update/connection.hpp"

namespace quorvel_test {

class EventRecorder : public quorvel::ConnectionEvents {
 public:
  explicit EventRecorder(quorvel::Connection& connection) : connection_(connection) {
    connection_.SetEvents(this);
  }
  ~EventRecorder() override { connection_.SetEvents(nullptr); }

  void Winsock1_Connect() override {
    events.push_back("Connect");
    connectedState = connection_.State();
    if (!request.empty()) connection_.SendData(request);
  }
  void Winsock1_SendComplete() override { events.push_back("SendComplete"); }
  void Winsock1_DataArrival(std::int32_t bytesTotal) override {
    events.push_back("DataArrival");
    if (connection_.State() != quorvel::Connection::kConnected) statesOtherThan7 = true;
    std::wstring piece;
    connection_.GetData(piece);
    if (static_cast<std::size_t>(bytesTotal) != piece.size()) countsMatch = false;
    data += piece;
  }
  void Winsock1_Close() override { events.push_back("Close"); }
  void Winsock1_Error() override { events.push_back("Error"); }

  bool Ended() const { return !events.empty() && (events.back() == "Close" || events.back() == "Error"); }
  int Count(const std::string& name) const {
    int count = 0;
    for (const auto& event : events) count += event == name;
    return count;
  }
  // The events without repeats of DataArrival.
  std::vector<std::string> Outline() const {
    std::vector<std::string> outline;
    for (const auto& event : events) {
      if (outline.empty() || outline.back() != event || event != "DataArrival") outline.push_back(event);
    }
    return outline;
  }
  void Forget() {
    events.clear();
    data.clear();
  }

  std::wstring request;
  std::vector<std::string> events;
  std::wstring data;
  std::int16_t connectedState = 0;
  bool statesOtherThan7 = false;
  bool countsMatch = true;

 private:
  quorvel::Connection& connection_;
};

}  // namespace quorvel_test
