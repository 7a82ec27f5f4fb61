#include "update/connection_core.hpp"

#include <algorithm>
#include <cstdint>

#include "common/text.hpp"

namespace quorvel {

namespace {

// Bytes taken by one receive.
constexpr std::size_t kReadChunk = 16 * 1024;

}  // namespace

void ConnectionCore::Reset(std::int16_t state, bool keepGeneration) {
  if (!keepGeneration) ++generation_;
  sendCompletePending_ = false;
  DropSocket();
  state_ = state;
  outgoing_.clear();
  sent_ = 0;
}

void ConnectionCore::Close() {
  Reset(kClosed);
  received_.clear();
}

void ConnectionCore::Connect() {
  Close();
  if (port_ < 1 || port_ > 65535) {
    PostError();
    return;
  }
  const std::string host = ToAnsi(host_);
  if (host.empty() || host.find('\0') != std::string::npos) {
    PostError();
    return;
  }
  Open(host);
}

void ConnectionCore::SendData(const std::wstring& text) {
  if (state_ != kConnected) return;
  outgoing_ += ToAnsi(text);
  SendPending();
}

void ConnectionCore::GetData(std::wstring& data) {
  data = FromAnsi(received_);
  received_.clear();
}

void ConnectionCore::SendPending() {
  while (sent_ < outgoing_.size()) {
    std::size_t count = 0;
    const Io result = Send(outgoing_.data() + sent_, outgoing_.size() - sent_, count);
    if (result == Io::kWouldBlock) return;  // the edge says when there is room again
    if (result == Io::kFailed) {
      PostError();
      return;
    }
    sent_ += count;
  }
  if (outgoing_.empty()) return;
  outgoing_.clear();
  sent_ = 0;
  sendCompletePending_ = true;
  Post(Notice::kSent);
}

void ConnectionCore::OnConnectDone(bool failed) {
  if (state_ != kConnecting) return;
  if (failed) {
    ReportError();
    return;
  }
  state_ = kConnected;
  if (events_ != nullptr) events_->Winsock1_Connect();
}

void ConnectionCore::OnWritable(bool failed) {
  if (failed) {
    ReportError();
    return;
  }
  if (state_ == kConnected) SendPending();
}

bool ConnectionCore::SendCompleteFirst() {
  if (!sendCompletePending_) return true;
  // The reply can be seen before the notice that the request went out; the request was
  // sent first, so that is said first.
  const std::uint32_t generation = generation_;
  DeliverSendComplete();
  return Live(generation);
}

void ConnectionCore::DeliverSendComplete() {
  sendCompletePending_ = false;
  if (state_ == kConnected && events_ != nullptr) events_->Winsock1_SendComplete();
}

void ConnectionCore::OnReadable(bool failed) {
  if (!SendCompleteFirst()) return;
  if (failed) {
    ReportError();
    return;
  }
  if (state_ != kConnected) return;
  if (ReadOnce() == Read::kEnded) Closed();
}

void ConnectionCore::OnPeerClosed(bool failed) {
  if (!SendCompleteFirst()) return;
  if (failed) {
    ReportError();  // reset or aborted: the reply is not complete
    return;
  }
  // Everything the peer sent is buffered here: hand it all over before the close, so that
  // the last piece of a reply is never lost.
  Read read;
  do {
    read = ReadOnce();
  } while (read == Read::kMore);
  if (read != Read::kGone) Closed();
}

ConnectionCore::Read ConnectionCore::ReadOnce() {
  char buffer[kReadChunk];
  std::size_t count = 0;
  const Io result = Receive(buffer, sizeof buffer, count);
  if (result == Io::kWouldBlock) return Read::kDrained;
  if (result == Io::kFailed) {
    ReportError();  // reset or broken: the reply is not complete
    return Read::kGone;
  }
  if (count == 0) return Read::kEnded;
  received_.append(buffer, count);
  const std::uint32_t generation = generation_;
  if (events_ != nullptr) {
    const auto waiting = static_cast<std::int32_t>(std::min<std::size_t>(received_.size(), INT32_MAX));
    events_->Winsock1_DataArrival(waiting);
  }
  // The handler may have closed the connection, or started another.
  return Live(generation) ? Read::kMore : Read::kGone;
}

void ConnectionCore::Closed() {
  Reset(kClosed);
  if (events_ != nullptr) events_->Winsock1_Close();
}

void ConnectionCore::ReportError() {
  Reset(kError);
  if (events_ != nullptr) events_->Winsock1_Error();
}

void ConnectionCore::PostError() {
  Reset(kError, /*keepGeneration=*/true);
  Post(Notice::kError);
}

void ConnectionCore::Post(Notice kind) {
  notices_.push_back({kind, generation_});
  Wake();
}

void ConnectionCore::DeliverNotices() {
  std::vector<Due> due;
  due.swap(notices_);
  for (const Due& notice : due) {
    if (!Current(notice.generation)) continue;
    if (notice.kind == Notice::kSent) {
      if (sendCompletePending_) DeliverSendComplete();
    } else {
      ++generation_;
      if (events_ != nullptr) events_->Winsock1_Error();
    }
  }
}

}  // namespace quorvel
