// One update exchange on loopback: the real UpdateService over the real WinsockConnection,
// timed from the countdown's Connect to "Identifiant mis à jour avec succès." in the log,
// beside two floor clients that send the same request and read the reply to the close (one
// blocking, one driven by WSAAsyncSelect messages as the program is). All three talk to the
// same loopback server thread; runs are interleaved. Then the process's private memory and
// handle count after the first update and after 1,000.
//
//   bench_update RUNS UPDATES
//
//   bench_update tls RUNS PORT IDENTIFIER CA.der
//
// The same update over TLS: the service with its Schannel engine, as quorvel.exe sets it up for
// an https:// server, against the TLS server on 127.0.0.1:PORT that knows IDENTIFIER, beside the
// blocking Schannel floor (floor_tls.c) sending the same request bytes; the test authority
// CA.der is first added to the prefix's LocalMachine ROOT store. Runs interleaved.
//
// Prints "metric NAME VALUE" lines for bench/run.sh.
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/floor_tls.h"
#include "bench/footprint.hpp"
#include "bench/measure.hpp"
#include "common/text.hpp"
#include "log/activity_log.hpp"
#include "protocol/reply_words.hpp"
#include "tests/support/test_authority.hpp"
#include "update/protocol.hpp"
#include "update/schannel_engine.hpp"
#include "update/update_service.hpp"
#include "update/winsock_connection.hpp"
#include "window/log_box.hpp"

namespace {

constexpr char kReply[] =
    "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nConnection: close\r\n\r\n"
    "<html><body><!-- OSKEL_START_HTML -->found<!-- OSKEL_START_HTML --></body></html>\r\n";
constexpr wchar_t kSuccess[] = L"Identifiant mis à jour avec succès.";
constexpr wchar_t kFailure[] = L"Retentera dans 60 secondes.";
constexpr double kExchangeTimeoutMs = 10000;

using bench::Median;
using bench::Metric;
using bench::NowMs;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "bench_update: %s\n", what);
  std::fflush(stdout);
  std::exit(1);
}

// The loopback update server: reads each request to its blank line, answers "found", closes.
// It allocates nothing per connection, so the process's footprint is the client's.
struct LoopbackServer {
  SOCKET listener = INVALID_SOCKET;
  u_short port = 0;
  HANDLE thread = nullptr;
  char request[2048] = {};
  volatile LONG requestLength = 0;
  volatile LONG served = 0;

  void Start() {
    listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 16) != 0) {
      Fail("server cannot listen");
    }
    int length = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    thread = CreateThread(nullptr, 0, &Serve, this, 0, nullptr);
  }

  void Stop() {
    closesocket(listener);
    WaitForSingleObject(thread, 5000);
    CloseHandle(thread);
  }

  static DWORD WINAPI Serve(void* context) {
    auto* self = static_cast<LoopbackServer*>(context);
    for (;;) {
      const SOCKET client = accept(self->listener, nullptr, nullptr);
      if (client == INVALID_SOCKET) return 0;
      char buffer[2048];
      int have = 0;
      while (have < static_cast<int>(sizeof buffer)) {
        const int count = recv(client, buffer + have, sizeof buffer - have, 0);
        if (count <= 0) break;
        have += count;
        if (have >= 4 && std::memcmp(buffer + have - 4, "\r\n\r\n", 4) == 0) break;
      }
      if (self->requestLength == 0) {
        std::memcpy(self->request, buffer, have);
        self->requestLength = have;
      }
      send(client, kReply, sizeof kReply - 1, 0);
      closesocket(client);
      InterlockedIncrement(&self->served);
    }
  }
};

bool IsFoundReply(const char* reply, int length) {
  return length == static_cast<int>(sizeof kReply - 1) && std::memcmp(reply, kReply, length) == 0;
}

// Floor 1: blocking socket, connect, send, read to the close.
bool BlockingExchange(u_short port, const char* request, int requestLength) {
  const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  bool ok = connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            send(s, request, requestLength, 0) == requestLength;
  char reply[1024];
  int have = 0;
  for (int count; ok && (count = recv(s, reply + have, sizeof reply - have, 0)) > 0;) have += count;
  closesocket(s);
  return ok && IsFoundReply(reply, have);
}

// Floor 2: the same exchange driven by WSAAsyncSelect messages to a message-only window.
class AsyncExchange {
 public:
  static constexpr UINT kSocketMessage = WM_APP + 7;

  AsyncExchange() {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = &Proc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"BenchAsyncFloor";
    RegisterClassExW(&windowClass);
    window_ = CreateWindowExW(0, L"BenchAsyncFloor", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                              windowClass.hInstance, nullptr);
    SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  }

  void Start(u_short port, const char* request, int requestLength) {
    request_ = request;
    requestLength_ = requestLength;
    have_ = 0;
    done_ = false;
    ok_ = false;
    socket_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    WSAAsyncSelect(socket_, window_, kSocketMessage, FD_CONNECT | FD_READ | FD_CLOSE);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 ||
        WSAGetLastError() == WSAEWOULDBLOCK) {
      return;
    }
    Finish(false);
  }

  bool Done() const { return done_; }
  bool Ok() const { return ok_; }

 private:
  static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<AsyncExchange*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self && message == kSocketMessage) {
      if (static_cast<SOCKET>(wParam) == self->socket_) self->OnEvent(lParam);
      return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
  }

  void OnEvent(LPARAM event) {
    if (WSAGETSELECTERROR(event) != 0) return Finish(false);
    switch (WSAGETSELECTEVENT(event)) {
      case FD_CONNECT:
        if (send(socket_, request_, requestLength_, 0) != requestLength_) Finish(false);
        return;
      case FD_READ:
        Read();
        return;
      case FD_CLOSE:
        while (Read() > 0) {}
        Finish(IsFoundReply(reply_, have_));
        return;
      default:
        return;
    }
  }

  int Read() {
    const int count = recv(socket_, reply_ + have_, sizeof reply_ - have_, 0);
    if (count > 0) have_ += count;
    return count;
  }

  void Finish(bool ok) {
    closesocket(socket_);
    socket_ = INVALID_SOCKET;
    ok_ = ok;
    done_ = true;
  }

  HWND window_ = nullptr;
  SOCKET socket_ = INVALID_SOCKET;
  const char* request_ = nullptr;
  int requestLength_ = 0;
  char reply_[1024] = {};
  int have_ = 0;
  bool done_ = false;
  bool ok_ = false;
};

// Runs the thread's messages until done() holds; false on time-out.
template <typename Done>
bool PumpUntil(Done done) {
  const double start = NowMs();
  while (!done()) {
    const double left = kExchangeTimeoutMs - (NowMs() - start);
    if (left <= 0) return false;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(left) + 1, QS_ALLINPUT);
    MSG message;
    while (!done() && PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }
  return true;
}

// The window as the service sees it: a fixed identifier and the 60-minute row.
class BenchView final : public quorvel::ServiceView {
 public:
  std::wstring IdentifierText() const override { return identifier_; }
  int SelectedIntervalRow() const override { return 59; }
  void ShowServiceState(bool active) override { active_ = active; }
  void ShowMessage(const std::wstring&, quorvel::MessageIcon) override { ++messages_; }
  std::wstring identifier_ = L"bench-0001";
  bool active_ = false;
  int messages_ = 0;
};

// The program's log box: a multi-line edit control that the main window keeps equal to the
// log after every write, the same way.
class LogBox {
 public:
  LogBox() {
    window_ =
        CreateWindowExW(0, L"EDIT", L"", WS_POPUP | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY,
                        0, 0, 600, 300, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    SendMessageW(window_, EM_SETLIMITTEXT, 0, 0);
  }
  ~LogBox() { DestroyWindow(window_); }
  void Show(const std::wstring& text) { text_.Show(window_, text); }

 private:
  HWND window_ = nullptr;
  quorvel::LogBoxText text_;
};

std::wstring ProgramPath() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  return path;
}

// One update over TLS as the program makes it, beside the floor's, against an outside server.
int TlsBench(int runs, u_short port, const std::wstring& identifier, const wchar_t* authority) {
  if (!quorvel_test::TrustAuthority(authority)) Fail("cannot trust the test authority");
  if (!floor_tls_start()) Fail("the TLS floor has no Schannel credential");

  BenchView view;
  view.identifier_ = identifier;
  quorvel::ActivityLog log;
  quorvel::WinsockConnection Winsock1;
  quorvel::UpdateService service(view, Winsock1, log, ProgramPath());
  Winsock1.SetEvents(&service);
  // As the window sets it up for an https:// server.
  Winsock1.SetTls(quorvel::NewSchannelEngine());
  Winsock1.SetRemoteHost(L"127.0.0.1");
  Winsock1.SetRemotePort(port);
  int outcome = 0;
  log.SetListener([&](const std::wstring&, std::wstring_view line) {
    if (line.ends_with(kSuccess)) outcome = 1;
    if (line.ends_with(kFailure)) outcome = -1;
  });
  const auto programExchange = [&] {
    outcome = 0;
    service.SecondsLeft = 1;
    const double start = NowMs();
    service.Timer2_Timer();
    if (!PumpUntil([&] { return outcome != 0; }) || outcome != 1) {
      std::fprintf(stderr, "%ls\n", log.Text().c_str());
      Fail("the service's TLS update failed");
    }
    return NowMs() - start;
  };
  // The first update, from the activation: it also loads Schannel and takes its credential.
  outcome = 0;
  service.ActivateService();
  if (!PumpUntil([&] { return outcome != 0; }) || outcome != 1) {
    std::fprintf(stderr, "%ls\n", log.Text().c_str());
    Fail("the first TLS update failed");
  }

  // The bytes the service sends, from the same function and arguments (the host has no ':').
  const std::string request = quorvel::ToAnsi(quorvelmod::BuildHttpRequest(
      L"127.0.0.1", L"?ip_key=" + identifier, L"/update", L"GET"));
  const std::string expected =
      std::string(quorvel::protocol::kReplyMarker.text) + std::string(quorvel::protocol::kFound.text);
  std::printf("request: %s\n", request.substr(0, request.find('\r')).c_str());
  const auto floorExchange = [&] {
    const double start = NowMs();
    if (!floor_tls_exchange(port, request.data(), static_cast<int>(request.size()), expected.c_str())) {
      Fail("the TLS floor's exchange failed");
    }
    return NowMs() - start;
  };
  floorExchange();
  programExchange();
  std::vector<double> floorTimes, program;
  for (int i = 0; i < runs; ++i) {
    floorTimes.push_back(floorExchange());
    program.push_back(programExchange());
  }
  if (view.messages_ != 0 || !service.IsActive()) Fail("the service left its normal course");
  Metric("update_tls_floor_ms", Median(floorTimes));
  Metric("update_tls_service_ms", Median(program));
  Metric("update_tls_floor_min_ms", *std::min_element(floorTimes.begin(), floorTimes.end()));
  Metric("update_tls_service_min_ms", *std::min_element(program.begin(), program.end()));
  Metric("update_tls_runs", runs);
  Winsock1.SetEvents(nullptr);
  log.SetListener(nullptr);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 6 && std::wcscmp(argv[1], L"tls") == 0) {
    WSADATA data{};
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) Fail("no Winsock");
    const int status = TlsBench(std::max(1, _wtoi(argv[2])), static_cast<u_short>(_wtoi(argv[3])), argv[4], argv[5]);
    WSACleanup();
    return status;
  }
  const int runs = argc > 1 ? std::max(1, _wtoi(argv[1])) : 51;
  const int updates = argc > 2 ? std::max(2, _wtoi(argv[2])) : 1000;

  WSADATA data{};
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) Fail("no Winsock");
  LoopbackServer server;
  server.Start();

  BenchView view;
  quorvel::ActivityLog log;
  quorvel::WinsockConnection Winsock1;
  quorvel::UpdateService service(view, Winsock1, log, ProgramPath());
  Winsock1.SetEvents(&service);
  Winsock1.SetRemoteHost(L"127.0.0.1");
  Winsock1.SetRemotePort(server.port);

  LogBox logBox;
  bool mirror = false;
  int outcome = 0;  // 1 success, -1 failure lines
  log.SetListener([&](const std::wstring& text, std::wstring_view line) {
    if (mirror) logBox.Show(text);
    if (line.ends_with(kSuccess)) outcome = 1;
    if (line.ends_with(kFailure)) outcome = -1;
  });

  int programUpdates = 0;
  // One update from the countdown's expiry: Close, Connect, ... the outcome in the log.
  const auto programExchange = [&](bool withLogBox) {
    mirror = withLogBox;
    outcome = 0;
    service.SecondsLeft = 1;
    const double start = NowMs();
    service.Timer2_Timer();
    if (!PumpUntil([&] { return outcome != 0; }) || outcome != 1) Fail("the service's update failed");
    ++programUpdates;
    return NowMs() - start;
  };

  // The first update, from the activation; it also records the request the floors send.
  outcome = 0;
  service.ActivateService();
  if (!PumpUntil([&] { return outcome != 0; }) || outcome != 1) Fail("the first update failed");
  ++programUpdates;
  const std::string request(server.request, static_cast<size_t>(server.requestLength));
  std::printf("request: %s\n", request.substr(0, request.find('\r')).c_str());

  AsyncExchange async;
  const auto blockingExchange = [&] {
    const double start = NowMs();
    if (!BlockingExchange(server.port, request.data(), static_cast<int>(request.size()))) {
      Fail("the blocking floor failed");
    }
    return NowMs() - start;
  };
  const auto asyncExchange = [&] {
    const double start = NowMs();
    async.Start(server.port, request.data(), static_cast<int>(request.size()));
    if (!PumpUntil([&] { return async.Done(); }) || !async.Ok()) Fail("the WSAAsyncSelect floor failed");
    return NowMs() - start;
  };
  // One of each before anything is counted, so that every path has run once.
  blockingExchange();
  asyncExchange();
  programExchange(true);
  const bench::Footprint first = bench::FootprintOf(GetCurrentProcess());

  std::vector<double> blocking, asyncTimes, program, programWithLog;
  for (int i = 0; i < runs; ++i) {
    blocking.push_back(blockingExchange());
    asyncTimes.push_back(asyncExchange());
    program.push_back(programExchange(false));
    programWithLog.push_back(programExchange(true));
  }
  // The rest of the updates as the program makes them, with its log box; the footprint is
  // also read half-way, to tell a plateau from a steady growth.
  const bool tailWithLogBox = !(argc > 3 && std::wcscmp(argv[3], L"--no-log-box") == 0);
  while (programUpdates < updates / 2) programExchange(tailWithLogBox);
  const bench::Footprint half = bench::FootprintOf(GetCurrentProcess());
  while (programUpdates < updates) programExchange(tailWithLogBox);
  const bench::Footprint last = bench::FootprintOf(GetCurrentProcess());
  if (view.messages_ != 0 || !service.IsActive()) Fail("the service left its normal course");

  Metric("update_floor_blocking_ms", Median(blocking));
  Metric("update_floor_async_ms", Median(asyncTimes));
  Metric("update_service_ms", Median(program));
  Metric("update_service_logbox_ms", Median(programWithLog));
  Metric("update_runs", runs);
  Metric("updates_total", programUpdates);
  Metric("update_private_kb_first", first.privateKb);
  Metric("update_private_kb_half", half.privateKb);
  Metric("update_private_kb_last", last.privateKb);
  Metric("update_handles_half", half.handles);
  Metric("update_handles_first", first.handles);
  Metric("update_handles_last", last.handles);
  Metric("server_connections", server.served);

  Winsock1.SetEvents(nullptr);
  log.SetListener(nullptr);
  server.Stop();
  WSACleanup();
  return 0;
}
