#include "update/winsock_connection.hpp"

#include <ws2tcpip.h>

#include <algorithm>
#include <climits>

namespace quorvel {

namespace {

constexpr wchar_t kWindowClass[] = L"QuorvelWinsockConnection";

// The answer of a host name lookup: wParam is the lookup's task handle.
constexpr UINT kLookupMessage = WM_APP + 1;
// Something this component reports later, not from inside the call that caused it.
constexpr UINT kNoticeMessage = WM_APP + 2;
// Socket events: each generation has its own message number in this range, and wParam is
// the socket, so an event queued for an older connection never matches the current one.
constexpr UINT kSocketMessageFirst = WM_APP + 0x100;
constexpr UINT kSocketMessageCount = 0x3000;

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

bool WinsockConnection::Started() {
  if (startAttempted_) return window_ != nullptr;
  startAttempted_ = true;
  WSADATA data{};
  winsockStarted_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;

  const HINSTANCE instance = GetModuleHandleW(nullptr);
  if (!RegisterWindowClass(instance, &WindowProc)) return false;
  window_ = CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, nullptr);
  if (window_ == nullptr) return false;
  // Until this is set the window only sees its own creation messages.
  SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  return true;
}

WinsockConnection::~WinsockConnection() {
  Close();
  if (window_ != nullptr) {
    SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
    DestroyWindow(window_);
  }
  // A lookup still under way writes into its buffer when it ends; the few bytes are left to
  // it rather than freed under its feet.
  for (auto& lookup : lookups_) (void)lookup.release();
  if (winsockStarted_) WSACleanup();
}

LRESULT CALLBACK WinsockConnection::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<WinsockConnection*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self != nullptr) {
    if (message == kLookupMessage) {
      self->OnLookupDone(wParam, lParam);
      return 0;
    }
    if (message == kNoticeMessage) {
      self->DeliverNotices();
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
  return kSocketMessageFirst + Generation() % kSocketMessageCount;
}

void WinsockConnection::Open(const std::string& host) {
  if (!Started()) {
    // Without its window the component cannot report anything; the update's own time limit
    // ends the attempt.
    SetState(kError);
    return;
  }
  if (!winsockStarted_) {
    PostError();
    return;
  }
  in_addr address{};
  if (inet_pton(AF_INET, host.c_str(), &address) == 1) {
    StartConnect(address);
    return;
  }
  auto lookup = std::make_unique<Lookup>();
  lookup->generation = Generation();
  const HANDLE task =
      WSAAsyncGetHostByName(window_, kLookupMessage, host.c_str(), lookup->hostent, sizeof lookup->hostent);
  if (task == nullptr) {
    PostError();
    return;
  }
  lookup->task = task;
  lookups_.push_back(std::move(lookup));
  SetState(kResolving);
  // A lookup abandoned by Close is not cancelled: its answer comes back and is dropped.
}

void WinsockConnection::OnLookupDone(WPARAM task, LPARAM result) {
  const auto found = std::find_if(lookups_.begin(), lookups_.end(), [task](const auto& lookup) {
    return lookup->task == reinterpret_cast<HANDLE>(task);
  });
  if (found == lookups_.end()) return;
  const std::unique_ptr<Lookup> lookup = std::move(*found);
  lookups_.erase(found);
  if (lookup->generation != Generation() || State() != kResolving) return;
  if (WSAGETASYNCERROR(result) != 0) {
    ReportError();
    return;
  }
  const auto* entry = reinterpret_cast<const hostent*>(lookup->hostent);
  if (entry->h_addrtype != AF_INET || entry->h_length != sizeof(in_addr) || entry->h_addr_list == nullptr ||
      entry->h_addr_list[0] == nullptr) {
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
  remote.sin_port = htons(static_cast<u_short>(RemotePort()));
  remote.sin_addr = address;
  SetState(kConnecting);
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
  const bool failed = WSAGETSELECTERROR(event) != 0;
  switch (WSAGETSELECTEVENT(event)) {
    case FD_CONNECT:
      OnConnectDone(failed);
      return;
    case FD_WRITE:
      OnWritable(failed);
      return;
    case FD_READ:
      OnReadable(failed);
      return;
    case FD_CLOSE:
      OnPeerClosed(failed);
      return;
    default:
      return;
  }
}

WinsockConnection::Io WinsockConnection::Receive(char* buffer, std::size_t size, std::size_t& count) {
  const int got = recv(socket_.get(), buffer, static_cast<int>(std::min<std::size_t>(size, INT_MAX)), 0);
  if (got == SOCKET_ERROR) return WSAGetLastError() == WSAEWOULDBLOCK ? Io::kWouldBlock : Io::kFailed;
  count = static_cast<std::size_t>(got);
  return Io::kDone;
}

WinsockConnection::Io WinsockConnection::Send(const char* bytes, std::size_t size, std::size_t& count) {
  // FD_WRITE comes once there is room again after a send that would block.
  const int put = send(socket_.get(), bytes, static_cast<int>(std::min<std::size_t>(size, INT_MAX)), 0);
  if (put == SOCKET_ERROR) return WSAGetLastError() == WSAEWOULDBLOCK ? Io::kWouldBlock : Io::kFailed;
  count = static_cast<std::size_t>(put);
  return Io::kDone;
}

std::wstring WinsockConnection::FailureLine() const {
  const std::string& why = TlsFailure();
  if (why.empty()) return {};
  // The engine's verdict is already the window's line; the core's own words are about a peer
  // that hung up during the handshake, as a plain HTTP server may.
  if (why == ConnectionCore::kHandshakeCut) {
    return L"Connexion TLS refusée: le serveur a coupé la connexion pendant la négociation";
  }
  const int size = MultiByteToWideChar(CP_UTF8, 0, why.data(), static_cast<int>(why.size()), nullptr, 0);
  std::wstring line(static_cast<std::size_t>(std::max(size, 0)), L'\0');
  if (size > 0) MultiByteToWideChar(CP_UTF8, 0, why.data(), static_cast<int>(why.size()), line.data(), size);
  return line;
}

void WinsockConnection::Wake() {
  // A full message queue loses the notice; the update's own time limit then ends it.
  if (Started()) (void)PostMessageW(window_, kNoticeMessage, 0, 0);
}

}  // namespace quorvel
