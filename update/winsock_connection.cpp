#include "update/winsock_connection.hpp"

#include <ws2tcpip.h>

#include <algorithm>
#include <climits>

#include "common/text.hpp"

namespace quorvel {

namespace {

constexpr wchar_t kWindowClass[] = L"QuorvelWinsockConnection";

// The answer of a host name lookup: wParam is the lookup's task handle.
constexpr UINT kLookupMessage = WM_APP + 1;
// Something this component reports later, not from inside the call that caused it:
// wParam is one of the notices below, lParam the connection's generation.
constexpr UINT kNoticeMessage = WM_APP + 2;
constexpr WPARAM kNoticeSent = 1;
constexpr WPARAM kNoticeError = 2;
// Socket events: each generation has its own message number in this range, and wParam is
// the socket, so an event queued for an older connection never matches the current one.
constexpr UINT kSocketMessageFirst = WM_APP + 0x100;
constexpr UINT kSocketMessageCount = 0x3000;

// Bytes taken by one recv.
constexpr int kReadChunk = 16 * 1024;

bool RegisterWindowClass(HINSTANCE instance, WNDPROC procedure) {
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = kWindowClass;
  windowClass.lpfnWndProc = procedure;
  if (RegisterClassExW(&windowClass) != 0) return true;
  return GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

}  // namespace

WinsockConnection::WinsockConnection() {
  WSADATA data{};
  winsockStarted_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;

  const HINSTANCE instance = GetModuleHandleW(nullptr);
  if (!RegisterWindowClass(instance, &WindowProc)) return;
  window_ = CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance,
                            nullptr);
  if (window_ == nullptr) return;
  // Until this is set the window only sees its own creation messages.
  SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

WinsockConnection::~WinsockConnection() {
  Reset(kClosed);
  if (window_ != nullptr) {
    SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
    DestroyWindow(window_);
  }
  // A lookup still under way writes into its buffer when it ends; the few bytes are left to
  // it rather than freed under its feet.
  for (auto& lookup : lookups_) (void)lookup.release();
  if (winsockStarted_) WSACleanup();
}

LRESULT CALLBACK WinsockConnection::WindowProc(HWND window, UINT message, WPARAM wParam,
                                               LPARAM lParam) {
  auto* self = reinterpret_cast<WinsockConnection*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self != nullptr) {
    if (message == kLookupMessage) {
      self->OnLookupDone(wParam, lParam);
      return 0;
    }
    if (message == kNoticeMessage) {
      self->OnNotice(wParam, lParam);
      return 0;
    }
    if (message >= kSocketMessageFirst && message < kSocketMessageFirst + kSocketMessageCount) {
      self->OnSocketEvent(message, wParam, lParam);
      return 0;
    }
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

UINT WinsockConnection::SocketMessage() const {
  return kSocketMessageFirst + generation_ % kSocketMessageCount;
}

void WinsockConnection::Reset(std::int16_t state, bool keepGeneration) {
  if (!keepGeneration) ++generation_;
  sendCompletePending_ = false;
  socket_.reset();
  state_ = state;
  outgoing_.clear();
  sent_ = 0;
}

void WinsockConnection::Close() {
  Reset(kClosed);
  received_.clear();
  // A lookup under way is not cancelled: its answer comes back and is dropped as stale.
}

void WinsockConnection::Connect() {
  Close();
  if (window_ == nullptr) {
    // Without its window the component cannot report anything; the update's own time limit
    // ends the attempt.
    state_ = kError;
    return;
  }
  if (!winsockStarted_ || port_ < 1 || port_ > 65535) {
    PostError();
    return;
  }
  const std::string host = ToAnsi(host_);
  in_addr address{};
  if (inet_pton(AF_INET, host.c_str(), &address) == 1) {
    StartConnect(address);
    return;
  }
  if (host.empty() || host.find('\0') != std::string::npos) {
    PostError();
    return;
  }
  auto lookup = std::make_unique<Lookup>();
  lookup->generation = generation_;
  const HANDLE task = WSAAsyncGetHostByName(window_, kLookupMessage, host.c_str(),
                                            lookup->hostent, sizeof lookup->hostent);
  if (task == nullptr) {
    PostError();
    return;
  }
  lookup->task = task;
  lookups_.push_back(std::move(lookup));
  state_ = kResolving;
}

void WinsockConnection::OnLookupDone(WPARAM task, LPARAM result) {
  const auto found = std::find_if(lookups_.begin(), lookups_.end(), [task](const auto& lookup) {
    return lookup->task == reinterpret_cast<HANDLE>(task);
  });
  if (found == lookups_.end()) return;
  const std::unique_ptr<Lookup> lookup = std::move(*found);
  lookups_.erase(found);
  if (!Current(lookup->generation) || state_ != kResolving) return;
  if (WSAGETASYNCERROR(result) != 0) {
    ReportError();
    return;
  }
  const auto* entry = reinterpret_cast<const hostent*>(lookup->hostent);
  if (entry->h_addrtype != AF_INET || entry->h_length != sizeof(in_addr) ||
      entry->h_addr_list == nullptr || entry->h_addr_list[0] == nullptr) {
    ReportError();
    return;
  }
  in_addr address{};
  std::copy_n(entry->h_addr_list[0], sizeof address, reinterpret_cast<char*>(&address));
  StartConnect(address);
}

void WinsockConnection::StartConnect(const in_addr& address) {
  const SOCKET raw = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (raw == INVALID_SOCKET) {
    PostError();
    return;
  }
  socket_.reset(raw);
  // One call with every event; it also makes the socket non-blocking.
  if (WSAAsyncSelect(raw, window_, SocketMessage(), FD_CONNECT | FD_READ | FD_WRITE | FD_CLOSE) ==
      SOCKET_ERROR) {
    PostError();
    return;
  }
  sockaddr_in remote{};
  remote.sin_family = AF_INET;
  remote.sin_port = htons(static_cast<u_short>(port_));
  remote.sin_addr = address;
  state_ = kConnecting;
  if (connect(raw, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) == SOCKET_ERROR) {
    const int error = WSAGetLastError();
    if (error != WSAEWOULDBLOCK) PostError();
  }
  // Otherwise FD_CONNECT tells how the attempt ended.
}

void WinsockConnection::OnSocketEvent(UINT message, WPARAM socket, LPARAM event) {
  if (message != SocketMessage() || !socket_ || static_cast<SOCKET>(socket) != socket_.get()) {
    return;  // an event of a connection that is gone
  }
  const int error = WSAGETSELECTERROR(event);
  const long kind = WSAGETSELECTEVENT(event);
  if ((kind == FD_READ || kind == FD_CLOSE) && sendCompletePending_) {
    // The reply can be queued before the notice that the request went out; the request
    // was sent first, so that is said first.
    const std::uint32_t generation = generation_;
    DeliverSendComplete();
    if (!Current(generation) || !socket_) return;
  }
  switch (kind) {
    case FD_CONNECT:
      if (state_ != kConnecting) return;
      if (error != 0) {
        ReportError();
        return;
      }
      state_ = kConnected;
      if (events_ != nullptr) events_->Winsock1_Connect();
      return;
    case FD_WRITE:
      if (error != 0) {
        ReportError();
        return;
      }
      if (state_ == kConnected) SendPending();
      return;
    case FD_READ: {
      if (error != 0) {
        ReportError();
        return;
      }
      if (state_ != kConnected) return;
      bool drained = false;
      (void)ReadOnce(drained);
      return;
    }
    case FD_CLOSE: {
      if (error != 0) {
        ReportError();  // reset or aborted: the reply is not complete
        return;
      }
      // The peer has finished: everything it sent is buffered here. Hand it all over before
      // the close, so that the last piece of a reply is never lost.
      const std::uint32_t generation = generation_;
      bool drained = false;
      while (!drained) {
        if (!ReadOnce(drained)) return;
      }
      if (!Current(generation)) return;
      Reset(kClosed);
      if (events_ != nullptr) events_->Winsock1_Close();
      return;
    }
    default:
      return;
  }
}

bool WinsockConnection::ReadOnce(bool& drained) {
  char buffer[kReadChunk];
  const int count = recv(socket_.get(), buffer, sizeof buffer, 0);
  if (count == SOCKET_ERROR) {
    const int error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK) {
      drained = true;
      return true;
    }
    ReportError();
    return false;
  }
  if (count == 0) {
    drained = true;
    return true;
  }
  drained = false;
  received_.append(buffer, static_cast<size_t>(count));
  const std::uint32_t generation = generation_;
  if (events_ != nullptr) {
    const auto waiting = static_cast<std::int32_t>(std::min<size_t>(received_.size(), INT32_MAX));
    events_->Winsock1_DataArrival(waiting);
  }
  // The handler may have closed the connection, or started another.
  return Current(generation) && socket_;
}

void WinsockConnection::SendData(const std::wstring& text) {
  if (state_ != kConnected || !socket_) return;
  outgoing_ += ToAnsi(text);
  SendPending();
}

void WinsockConnection::SendPending() {
  while (sent_ < outgoing_.size()) {
    const size_t left = outgoing_.size() - sent_;
    const int count = send(socket_.get(), outgoing_.data() + sent_,
                           static_cast<int>(std::min<size_t>(left, INT_MAX)), 0);
    if (count == SOCKET_ERROR) {
      const int error = WSAGetLastError();
      if (error != WSAEWOULDBLOCK) PostError();
      return;  // FD_WRITE comes once there is room again
    }
    sent_ += static_cast<size_t>(count);
  }
  if (outgoing_.empty()) return;
  outgoing_.clear();
  sent_ = 0;
  sendCompletePending_ = true;
  Notify(kNoticeSent);
}

void WinsockConnection::DeliverSendComplete() {
  sendCompletePending_ = false;
  if (state_ == kConnected && events_ != nullptr) events_->Winsock1_SendComplete();
}

void WinsockConnection::GetData(std::wstring& data) {
  data = FromAnsi(received_);
  received_.clear();
}

void WinsockConnection::ReportError() {
  Reset(kError);
  if (events_ != nullptr) events_->Winsock1_Error();
}

void WinsockConnection::PostError() {
  Reset(kError, /*keepGeneration=*/true);
  Notify(kNoticeError);
}

void WinsockConnection::Notify(UINT kind) {
  // A full message queue loses the notice; the update's own time limit then ends it.
  (void)PostMessageW(window_, kNoticeMessage, kind, static_cast<LPARAM>(generation_));
}

void WinsockConnection::OnNotice(WPARAM kind, LPARAM generation) {
  if (!Current(static_cast<std::uint32_t>(generation))) return;
  if (kind == kNoticeSent) {
    if (sendCompletePending_) DeliverSendComplete();
  } else if (kind == kNoticeError) {
    ++generation_;
    if (events_ != nullptr) events_->Winsock1_Error();
  }
}

}  // namespace quorvel
