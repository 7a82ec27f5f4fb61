// The HTTP side, over libmicrohttpd: one daemon per listening socket, one route table (path,
// methods, endpoint, scope) and the replies' queuing, one log line per request, and the
// connection limits (per peer, an IPv6 /64 or all of loopback, and in all) and the request
// deadline.
#pragma once

#include <microhttpd.h>
#include <sys/socket.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "server/peer_rules.hpp"
#include "server/route.hpp"

namespace qserver {

class HttpServer {
 public:
  HttpServer(const Options& options, Registry& registry, NameStore& store, LogSink& log, Metrics& metrics,
             std::vector<std::string> ownHosts);
  ~HttpServer();
  // Serves on a socket already listening; metricsOnly: the --metrics-listen socket.
  bool Serve(int listenFd, bool metricsOnly, std::string& error);
  // The same routes over TLS, with the certificate and key that TlsPair holds at each handshake.
  bool ServeTls(int listenFd, std::string& error);
  void Stop();

 private:
  struct Exchange;
  struct Callbacks;
  struct ConnectionState;
  void Reap();
  MHD_Result Answer(MHD_Connection* connection, Exchange& exchange, bool metricsOnly);
  Reply Dispatch(MHD_Connection* connection, Exchange& exchange, bool metricsOnly);
  bool AdmitPeer(const sockaddr* address);
  void OnConnection(MHD_Connection* connection, void** socketContext, MHD_ConnectionNotificationCode code);
  void LogLine(std::string_view peer, std::string_view line, const std::string& end);
  void MarkAnswered(MHD_Connection* connection);  // past its reply, the deadline no longer applies
  static const sockaddr* PeerOf(MHD_Connection* connection);

  bool Start(int listenFd, bool metricsOnly, bool tls, std::string& error);

  Site site_;
  const TrustedProxies proxies_;
  std::vector<MHD_Daemon*> daemons_;
  std::map<quorvel::protocol::Status, MHD_Response*> updateReplies_;  // one per word, made once
  std::mutex peersMutex_;
  std::map<std::string, int> peers_;  // connections open, by peer key
  std::set<ConnectionState*> open_;   // every connection open, on every socket
  bool stopReaper_ = false;
  std::condition_variable reaperWake_;
  std::thread reaper_;  // shuts the connections past their request deadline
};

}  // namespace qserver
