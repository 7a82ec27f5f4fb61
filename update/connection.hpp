// The socket component as the update service sees it: one TCP client connection at a time,
// whose results come back as events from the loop of the thread that drives it (the window's
// message loop, the daemon's poll loop), never from inside one of its calls.
#pragma once

#include <cstdint>
#include <string>

namespace quorvel {

// The five events of the component. Handlers run from that loop, one at a time.
class ConnectionEvents {
 public:
  virtual ~ConnectionEvents() = default;
  virtual void Winsock1_Connect() = 0;
  virtual void Winsock1_SendComplete() = 0;
  virtual void Winsock1_DataArrival(std::int32_t bytesTotal) = 0;
  virtual void Winsock1_Close() = 0;
  virtual void Winsock1_Error() = 0;
};

class Connection {
 public:
  // The only state value the program looks at; everything else is "not connected".
  static constexpr std::int16_t kConnected = 7;

  virtual ~Connection() = default;

  virtual void SetEvents(ConnectionEvents* events) = 0;

  virtual void SetRemoteHost(const std::wstring& host) = 0;
  virtual std::wstring RemoteHost() const = 0;
  virtual void SetRemotePort(std::int32_t port) = 0;
  virtual std::int32_t RemotePort() const = 0;
  virtual std::int16_t State() const = 0;

  // Starts a connection to RemoteHost:RemotePort; the outcome comes as Connect or Error.
  virtual void Connect() = 0;
  // Ends the connection; harmless when closed. No event of the old connection follows.
  virtual void Close() = 0;
  // Sends the text as bytes in the ANSI code page; SendComplete follows once all is sent.
  virtual void SendData(const std::wstring& text) = 0;
  // Takes every byte received so far, as text.
  virtual void GetData(std::wstring& data) = 0;
  // Why the last connection failed, as a line of the log said before the failure lines
  // (a refused certificate); empty when the program has nothing to add.
  virtual std::wstring FailureLine() const { return {}; }
};

}  // namespace quorvel
