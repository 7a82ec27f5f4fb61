// RFC 2136 updates signed with TSIG (hmac-sha256), sent over TCP to the zone's primary. The
// connection stays open between updates and is made again when the primary has closed it.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "common/unique_handle.hpp"
#include "server/endpoint.hpp"
#include "server/store_types.hpp"

namespace qserver {

struct TsigKey {
  std::string name;    // e.g. "quorvel-update"
  std::string secret;  // base64, as in the file
};

// Reads a key file as BIND's tsig-keygen writes it:
//   key "NAME" { algorithm hmac-sha256; secret "BASE64"; };
// and checks that it signs: a secret that is not base64 is refused here, not at the first push.
bool LoadTsigKey(const std::string& path, TsigKey& key, std::string& error);

// A message as DNS over TCP sends it, after its two-byte length (RFC 1035 4.2.2). False, with
// the reason in error, for one longer than those two bytes can say (65,535 bytes).
bool FrameForTcp(const std::vector<unsigned char>& message, std::string& framed, std::string& error);

class DnsUpdater {
 public:
  DnsUpdater(std::string zone, Endpoint server, TsigKey key, int ttl, const std::atomic<bool>* stop)
      : zone_(std::move(zone)), server_(std::move(server)), key_(std::move(key)), ttl_(ttl), stop_(stop) {}

  // Makes each name's records match its row: per family, the RRset is deleted and, when the
  // store has an address, the new record added, so a name never holds two A records. Rows
  // that do not fit in one message go in the next ones. False with the reason in error.
  bool Send(const std::vector<PendingRow>& rows, std::string& error);

  // The largest message sent: one near 64 KiB can be neither signed nor sent over TCP.
  static constexpr std::size_t kMaxMessage = 32768;

  enum class Outcome {
    kDone,      // the primary took the first `taken` rows
    kFailed,    // not sent, or not taken (primary down, key refused): every row stays
    kTooLarge,  // the primary found the message malformed or too large (FORMERR, truncated), or
                // a name published the first time in it in use (YXDOMAIN): to send in halves
    kBadRow,    // the first row cannot be published even alone
  };
  // One UPDATE message with the leading rows that fit in `budget` bytes (the first always, so
  // a small enough budget sends one row alone). A first publication adds the prerequisite
  // that its name holds nothing in the zone; refused (YXDOMAIN), the message is kTooLarge,
  // or kBadRow when alone.
  Outcome SendFitting(const std::vector<PendingRow>& rows, std::size_t budget, std::size_t& taken,
                      std::string& error);

  // The size counted of the last message built (uncompressed: at least its size).
  std::size_t LastSize() const { return lastSize_; }

  // Whether the zone holds any record named LABEL.ZONE, as its primary answers a query for
  // them (type ANY, over TCP). False with the reason in error when it cannot tell.
  bool Holds(const std::string& label, bool& holds, std::string& error);

  // A new key and time to live for the next messages (SIGHUP), from any thread.
  void Reload(TsigKey key, int ttl);

 private:
  bool Exchange(const std::vector<unsigned char>& query, std::vector<unsigned char>& answer,
                std::string& error);
  bool Connect(std::string& error);

  std::string zone_;
  Endpoint server_;
  std::mutex keyMutex_;  // key_ and ttl_, which Reload changes
  TsigKey key_;
  int ttl_;
  const std::atomic<bool>* stop_;
  quorvel::UniqueFd fd_;
  std::size_t lastSize_ = 0;
};

}  // namespace qserver
