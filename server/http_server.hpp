// The HTTP side, over libmicrohttpd: one daemon per listening socket answering /update,
// /nic/update (dyndns2), /creer.php6 and /metrics, one log line per request, and the
// per-peer connection limit (every loopback address counted as one peer).
#pragma once

#include <microhttpd.h>
#include <sys/socket.h>

#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "server/log_sink.hpp"
#include "server/metrics.hpp"
#include "server/options.hpp"
#include "server/registry.hpp"
#include "server/name_store.hpp"

namespace qserver {

// The address as the rules see it: an IPv4-mapped IPv6 address becomes IPv4.
std::string AddressText(const sockaddr* address);

class HttpServer {
 public:
  HttpServer(const Options& options, Registry& registry, NameStore& store, LogSink& log, Metrics& metrics,
             std::vector<std::string> ownHosts);
  ~HttpServer();
  // Serves on a socket already listening; metricsOnly: the --metrics-listen socket.
  bool Serve(int listenFd, bool metricsOnly, std::string& error);
  void Stop();

  // Callbacks from libmicrohttpd (public for the C trampolines).
  MHD_Result Handle(MHD_Connection* connection, const char* method, const char* version,
                    const char* uploadData, size_t* uploadSize, void** context, bool metricsOnly);
  bool AdmitPeer(const sockaddr* address);
  void OnConnection(MHD_Connection* connection, void** socketContext, MHD_ConnectionNotificationCode code);

 private:
  struct Reply;
  struct Request;
  Reply Route(MHD_Connection* connection, Request& request, bool metricsOnly);
  Reply Update(std::string_view query, const std::string& client);
  Reply DynDns(MHD_Connection* connection, std::string_view query, const std::string& client);
  Reply Creation(MHD_Connection* connection, Request& request, const std::string& client);
  std::string ClientAddress(MHD_Connection* connection, const std::string& peer);
  bool IsOwnHost(const std::string& host) const;

  const Options& options_;
  Registry& registry_;
  NameStore& store_;
  LogSink& log_;
  Metrics& metrics_;
  std::vector<std::string> ownHosts_;
  std::string token_;
  std::vector<MHD_Daemon*> daemons_;
  std::map<std::string, MHD_Response*> updateReplies_;  // by status word, made once
  std::mutex peersMutex_;
  std::map<std::string, int> peers_;  // connections open, by peer
  std::mutex creationMutex_;
  std::map<std::string, std::deque<std::chrono::steady_clock::time_point>> creations_;

 public:
  static void* OnUri(void* cls, const char* uri, MHD_Connection* connection);
  static void OnCompleted(void* cls, MHD_Connection* connection, void** context,
                          MHD_RequestTerminationCode code);
};

}  // namespace qserver
