#include "update/connection_core.hpp"

#include <algorithm>
#include <cstdint>
#include <utility>

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
  if (tls_) tls_->End();
  handshaking_ = false;
  requestInRecords_ = false;
  cipherIn_.clear();
  cipherOut_.clear();
  cipherSent_ = 0;
}

void ConnectionCore::SetTls(std::unique_ptr<TlsEngine> engine) {
  Close();
  tls_ = std::move(engine);
}

void ConnectionCore::Close() {
  if (tls_ && state_ == kConnected) {
    // The peer learns the end was meant; a socket without room does not hold the close up.
    tls_->CloseNotify(cipherOut_);
    (void)FlushRecords();
  }
  Reset(kClosed);
  received_.clear();
}

void ConnectionCore::Connect() {
  Close();
  tlsFailure_.clear();
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
  if (tls_) {
    if (!outgoing_.empty()) {
      if (!tls_->Encrypt(outgoing_, cipherOut_)) {
        tlsFailure_ = tls_->Verdict();
        PostError();
        return;
      }
      outgoing_.clear();
      requestInRecords_ = true;
    }
    const Io sent = FlushRecords();
    if (sent == Io::kFailed) {
      PostError();
      return;
    }
    // SendComplete once the request's last record is taken by the socket.
    if (sent == Io::kWouldBlock || !requestInRecords_) return;
    requestInRecords_ = false;
    sendCompletePending_ = true;
    Post(Notice::kSent);
    return;
  }
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

ConnectionCore::Io ConnectionCore::FlushRecords() {
  while (cipherSent_ < cipherOut_.size()) {
    std::size_t count = 0;
    const Io result = Send(cipherOut_.data() + cipherSent_, cipherOut_.size() - cipherSent_, count);
    if (result != Io::kDone) return result;
    cipherSent_ += count;
  }
  cipherOut_.clear();
  cipherSent_ = 0;
  return Io::kDone;
}

void ConnectionCore::TlsFailed(const std::string& why) {
  tlsFailure_ = why;
  ReportError();
}

void ConnectionCore::HandshakeStep() {
  const TlsEngine::Step step = tls_->Handshake(cipherIn_, cipherOut_);
  if (step == TlsEngine::Step::kFailed || step == TlsEngine::Step::kClosed) {
    TlsFailed(tls_->Verdict());
    return;
  }
  if (FlushRecords() == Io::kFailed) {
    ReportError();
    return;
  }
  if (step != TlsEngine::Step::kDone) return;
  // Only now is the service told: before, the peer was not known to be the server asked for.
  handshaking_ = false;
  state_ = kConnected;
  if (events_ != nullptr) events_->Winsock1_Connect();
}

void ConnectionCore::OnConnectDone(bool failed) {
  if (state_ != kConnecting || handshaking_) return;
  if (failed) {
    ReportError();
    return;
  }
  if (tls_) {
    handshaking_ = true;
    if (!tls_->Begin(ToAnsi(host_))) {
      TlsFailed(tls_->Verdict());
      return;
    }
    HandshakeStep();
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
  if (handshaking_ && FlushRecords() == Io::kFailed) {
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
  if (state_ != kConnected && !handshaking_) return;
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
  if (read == Read::kGone) return;
  if (handshaking_) {
    TlsFailed(kHandshakeCut);
    return;
  }
  Closed();
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
  if (count == 0) {
    if (!handshaking_) return Read::kEnded;
    TlsFailed(kHandshakeCut);
    return Read::kGone;
  }
  if (!tls_) return HandOver(buffer, count);
  cipherIn_.append(buffer, count);
  return TakeRecords();
}

ConnectionCore::Read ConnectionCore::TakeRecords() {
  const std::uint32_t generation = generation_;
  if (handshaking_) {
    HandshakeStep();
    if (!Live(generation)) return Read::kGone;
    if (handshaking_ || cipherIn_.empty()) return Read::kMore;
  }
  std::string plain;
  const TlsEngine::Step step = tls_->Decrypt(cipherIn_, plain, cipherOut_);
  if (step == TlsEngine::Step::kFailed) {
    TlsFailed(tls_->Verdict());
    return Read::kGone;
  }
  if (!cipherOut_.empty()) {
    // The session's answer goes out after what is waiting; it may take the request's last
    // record with it, and SendComplete is then due.
    SendPending();
    if (!Live(generation)) return Read::kGone;
  }
  if (!plain.empty()) {
    // A reply can only follow the request: SendComplete is said first.
    if (!SendCompleteFirst()) return Read::kGone;
    if (HandOver(plain.data(), plain.size()) == Read::kGone) return Read::kGone;
  }
  return step == TlsEngine::Step::kClosed ? Read::kEnded : Read::kMore;
}

ConnectionCore::Read ConnectionCore::HandOver(const char* bytes, std::size_t size) {
  received_.append(bytes, size);
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
