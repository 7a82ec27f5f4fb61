// The HTTP side, over libmicrohttpd: one daemon per listening socket, one route table (path,
// methods, endpoint, scope) and the replies' queuing, one log line per request, and the
// per-peer connection limit (every loopback address counted as one peer).
#pragma once

#include <microhttpd.h>
#include <sys/socket.h>

#include <map>
#include <mutex>
#include <string>
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
  void Stop();

 private:
  struct Exchange;
  struct Callbacks;
  MHD_Result Answer(MHD_Connection* connection, Exchange& exchange, bool metricsOnly);
  Reply Dispatch(MHD_Connection* connection, Exchange& exchange, bool metricsOnly);
  bool AdmitPeer(const sockaddr* address);
  void OnConnection(MHD_Connection* connection, void** socketContext, MHD_ConnectionNotificationCode code);
  void LogLine(std::string_view peer, std::string_view line, const std::string& end);

  Site site_;
  const TrustedProxies proxies_;
  std::vector<MHD_Daemon*> daemons_;
  std::map<quorvel::protocol::Status, MHD_Response*> updateReplies_;  // one per word, made once
  std::mutex peersMutex_;
  std::map<std::string, int> peers_;  // connections open, by peer key
};

}  // namespace qserver
