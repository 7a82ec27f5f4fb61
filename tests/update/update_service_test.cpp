// The service control and the update exchange, driven through a scripted connection and a
// stand-in window, with the real settings store underneath.
#include "update/update_service.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "settings/activation.hpp"
#include "settings/settings.hpp"
#include "support/log_lines.hpp"
#include "../settings/store_fixture.hpp"
#include "update/protocol.hpp"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

using quorvel::ActivityLog;
using quorvel::Connection;
using quorvel::MessageIcon;
using quorvel::UpdateService;

const std::wstring kMarker = quorvelmod::kReplyMarker;
const std::wstring kFailed = L"Impossible de se connecter au serveur maitre.";
const std::wstring kRetry = L"Retentera dans 60 secondes.";
const std::wstring kProgram = L"C:\\Program Files\\Quorvel\\quorvel.exe";

std::wstring Reply(const std::wstring& word) {
  return L"HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n<html>" + kMarker + word;
}

// The socket component, scripted: the test sets its state and the bytes it holds, and calls
// the service's handlers itself as the events.
class ScriptedConnection : public Connection {
 public:
  void SetEvents(quorvel::ConnectionEvents*) override {}
  void SetRemoteHost(const std::wstring& host) override { host_ = host; }
  std::wstring RemoteHost() const override { return host_; }
  void SetRemotePort(std::int32_t port) override { port_ = port; }
  std::int32_t RemotePort() const override { return port_; }
  std::int16_t State() const override { return state; }
  void Connect() override {
    calls.push_back(L"Connect");
    state = 6;
  }
  void Close() override {
    calls.push_back(L"Close");
    state = 0;
  }
  void SendData(const std::wstring& text) override { sent.push_back(text); }
  void GetData(std::wstring& data) override {
    data.clear();
    if (!pieces.empty()) {
      data = pieces.front();
      pieces.pop_front();
    }
  }

  std::int16_t state = 0;
  std::vector<std::wstring> calls;
  std::vector<std::wstring> sent;
  std::deque<std::wstring> pieces;

 private:
  std::wstring host_;
  std::int32_t port_ = 0;
};

std::wstring StoredAutostart() {
  return quorvelmod::GetRegString(quorvelmod::kHkeyCurrentUser, quorvelmod::kRunKey,
                                  quorvelmod::kAutostartValue, L"<missing>");
}

std::wstring Stored(const wchar_t* name) {
  return quorvelmod::GetRegString(quorvelmod::kHkeyCurrentUser, quorvelmod::kSettingsKey, name, L"<missing>");
}

// The log's messages, without their time stamps.
std::vector<std::wstring> Lines(const ActivityLog& log) { return quorvel_test::LogMessages(log.Text()); }

// The main window as the service sees it.
class StandInWindow : public quorvel::ServiceView {
 public:
  explicit StandInWindow(const ActivityLog& log) : log_(log) {}
  std::wstring IdentifierText() const override { return identifier; }
  int SelectedIntervalRow() const override { return row; }
  void ShowServiceState(bool active) override {
    shownActive = active;
    ++stateShown;
  }
  void ShowMessage(const std::wstring& text, MessageIcon icon) override {
    // What the user has in front of them while the box is open.
    boxes.push_back({text, icon});
    logWhenBoxShown = Lines(log_);
    autostartWhenBoxShown = StoredAutostart();
  }
  void UpdateEnded(const quorvel::UpdateOutcome& outcome) override { outcomes.push_back(outcome); }
  void UpdateStarted() override { ++updatesStarted; }
  // Each outcome as the tray reads it: confirmed or not, and the seconds to the next attempt.
  std::vector<std::pair<bool, std::int32_t>> Shown() const {
    std::vector<std::pair<bool, std::int32_t>> shown;
    for (const auto& o : outcomes)
      shown.emplace_back(o.result == quorvel::UpdateResult::kFound, o.secondsToNext);
    return shown;
  }

  std::wstring identifier = L"abc123";
  int row = 14;
  bool shownActive = false;
  int stateShown = 0;
  std::vector<std::pair<std::wstring, MessageIcon>> boxes;
  std::vector<std::wstring> logWhenBoxShown;
  std::wstring autostartWhenBoxShown;
  std::vector<quorvel::UpdateOutcome> outcomes;
  int updatesStarted = 0;

 private:
  const ActivityLog& log_;
};

// Every case starts and ends with an empty settings store, as the settings tests do.
class UpdateServiceTest : public SettingsStoreTest {
 protected:
  void SetUp() override {
    SettingsStoreTest::SetUp();
    winsock.SetRemoteHost(L"update.example");
    winsock.SetRemotePort(80);
  }

  // Activates with the defaults and forgets the calls and lines that activation made.
  void ActivateAndForget() {
    service.ActivateService();
    winsock.calls.clear();
  }

  // The update's connection is established and the request has gone out.
  void Established() {
    winsock.state = Connection::kConnected;
    service.Winsock1_Connect();
    service.Winsock1_SendComplete();
  }

  // The server sends its reply in the given pieces, then closes.
  void ServerReplies(const std::vector<std::wstring>& pieces) {
    for (const auto& piece : pieces) {
      winsock.pieces.push_back(piece);
      service.Winsock1_DataArrival(static_cast<std::int32_t>(piece.size()));
    }
    winsock.state = 0;
    service.Winsock1_Close();
  }

  std::vector<std::wstring> LinesSince(size_t first) const {
    auto all = Lines(log);
    return {all.begin() + static_cast<std::ptrdiff_t>(std::min(first, all.size())), all.end()};
  }

  // Ticks until the countdown starts the next update; the clock is moved along with them.
  int TicksToNextUpdate() {
    const size_t before = winsock.calls.size();
    for (int ticks = 1; ticks <= 4000; ++ticks) {
      nowMs += 1000;
      service.Timer2_Timer();
      if (winsock.calls.size() != before) return ticks;
    }
    return -1;
  }

  ActivityLog log{[] { return quorvel::TimeOfDay{12, 34, 56}; }};
  StandInWindow window{log};
  ScriptedConnection winsock;
  std::int64_t nowMs = 5'000'000;
  UpdateService service{window, winsock, log, kProgram, [this] { return nowMs; }};
};

TEST_F(UpdateServiceTest, ActivationWithoutIdentifierOnlyShowsTheWarning) {
  window.identifier = L"";
  service.ActivateService();
  ASSERT_EQ(window.boxes.size(), 1u);
  EXPECT_EQ(window.boxes[0].first, L"Aucun identifiant unique n'est spécifié");
  EXPECT_EQ(window.boxes[0].second, MessageIcon::Warning);
  EXPECT_EQ(window.stateShown, 0);
  EXPECT_FALSE(service.IsActive());
  EXPECT_TRUE(winsock.calls.empty());
  EXPECT_TRUE(log.Text().empty());
  EXPECT_EQ(Stored(quorvelmod::kIdentifierValue), L"<missing>");
  EXPECT_EQ(Stored(quorvelmod::kIntervalValue), L"<missing>");
  EXPECT_EQ(StoredAutostart(), L"<missing>");

  // A line end or any control character would split the request: answered as no identifier.
  for (const wchar_t* unsendable : {L"a\r\nX-Evil: 1", L"ab\tc", L"x\x7f"}) {
    window.identifier = unsendable;
    service.ActivateService();
    EXPECT_EQ(window.boxes.back().first, L"Aucun identifiant unique n'est spécifié");
    EXPECT_FALSE(service.IsActive());
    EXPECT_EQ(StoredAutostart(), L"<missing>");
  }
  EXPECT_EQ(window.boxes.size(), 4u);

  // Spaces count as an identifier.
  window.identifier = L"  ";
  service.ActivateService();
  EXPECT_EQ(window.boxes.size(), 4u);
  EXPECT_TRUE(service.IsActive());
}

TEST_F(UpdateServiceTest, ActivationStoresTheThreeValuesAndUpdatesAtOnce) {
  window.identifier = L" abc 123 ";
  window.row = 14;
  service.ActivateService();

  EXPECT_TRUE(service.IsActive());
  EXPECT_TRUE(window.shownActive);
  EXPECT_TRUE(window.boxes.empty());
  EXPECT_EQ(service.SecondsLeft, 900);
  EXPECT_EQ(Stored(quorvelmod::kIdentifierValue), L"abc 123");
  EXPECT_EQ(Stored(quorvelmod::kIntervalValue), L"900");
  EXPECT_EQ(StoredAutostart(), L"\"C:\\Program Files\\Quorvel\\quorvel.exe\" -wiper");
  EXPECT_EQ(Lines(log), (std::vector<std::wstring>{L"Activation du service...", L"Service activé."}));
  EXPECT_EQ(winsock.calls, (std::vector<std::wstring>{L"Close", L"Connect"}));

  // The request carries the identifier untrimmed, with the connection's host.
  Established();
  ASSERT_EQ(winsock.sent.size(), 1u);
  EXPECT_EQ(winsock.sent[0], L"GET /update?ip_key= abc 123  HTTP/1.0\r\nHost: update.example\r\n\r\n");
  EXPECT_EQ(LinesSince(2),
            (std::vector<std::wstring>{L"Envoie de votre adresse IP ( identifiant:  abc 123  )...",
                                       L"Envoie de la requête effectué."}));

  // Row 0 is one minute, row 59 an hour.
  window.row = 0;
  service.ActivateService();
  EXPECT_EQ(Stored(quorvelmod::kIntervalValue), L"60");
  window.row = 59;
  service.ActivateService();
  EXPECT_EQ(Stored(quorvelmod::kIntervalValue), L"3600");
}

TEST_F(UpdateServiceTest, WithoutASelectedRowTheIntervalIsFifteenMinutes) {
  window.row = -1;
  service.ActivateService();
  EXPECT_EQ(service.SecondsLeft, 900);
  EXPECT_EQ(Stored(quorvelmod::kIntervalValue), L"900");
  service.SecondsLeft = 1;
  service.Timer2_Timer();
  EXPECT_EQ(service.SecondsLeft, 900);
}

TEST_F(UpdateServiceTest, CountdownReloadsFromTheListAndReconnectsAtExpiry) {
  window.row = 0;
  ActivateAndForget();
  EXPECT_EQ(service.SecondsLeft, 60);
  const size_t linesBefore = Lines(log).size();

  service.SecondsLeft = 3;
  service.Timer2_Timer();
  service.Timer2_Timer();
  EXPECT_EQ(service.SecondsLeft, 1);
  EXPECT_TRUE(winsock.calls.empty());

  // The list is read at each expiry; the change is not stored.
  window.row = 4;
  service.Timer2_Timer();
  EXPECT_EQ(service.SecondsLeft, 300);
  EXPECT_EQ(winsock.calls, (std::vector<std::wstring>{L"Close", L"Connect"}));
  EXPECT_EQ(Stored(quorvelmod::kIntervalValue), L"60");
  EXPECT_EQ(Lines(log).size(), linesBefore);

  // A count already below zero also expires.
  service.SecondsLeft = -5;
  service.Timer2_Timer();
  EXPECT_EQ(service.SecondsLeft, 300);
  EXPECT_EQ(winsock.calls.size(), 4u);
}

TEST_F(UpdateServiceTest, FoundLogsSuccessAndKeepsTheServiceActive) {
  ActivateAndForget();
  Established();
  const size_t before = Lines(log).size();
  ServerReplies({Reply(L"found")});
  EXPECT_EQ(LinesSince(before),
            (std::vector<std::wstring>{
                L"Reception des données (" + std::to_wstring(Reply(L"found").size()) + L" bytes)...",
                L"Identifiant mis à jour avec succès."}));
  EXPECT_EQ(service.ReplyBuffer, L"found");
  EXPECT_TRUE(service.IsActive());
  EXPECT_EQ(service.SecondsLeft, 900);
  EXPECT_TRUE(window.boxes.empty());
  EXPECT_EQ(StoredAutostart(), L"\"C:\\Program Files\\Quorvel\\quorvel.exe\" -wiper");
  EXPECT_EQ(window.Shown(), (std::vector<std::pair<bool, std::int32_t>>{{true, 900}}));
}

TEST_F(UpdateServiceTest, UnknownIdentifierSwitchesTheServiceOffThenShowsTheBox) {
  for (const std::wstring word : {L"notfound", L"incorrect"}) {
    SCOPED_TRACE(word);
    window.boxes.clear();
    ActivateAndForget();
    Established();
    const size_t before = Lines(log).size() + 1;  // after the reception line
    ServerReplies({Reply(L"  " + word + L"  ")});

    EXPECT_EQ(LinesSince(before),
              (std::vector<std::wstring>{L"Cet identifiant n'existe pas ! Abbandon...",
                                         L"Désactivation du service...", L"Service désactivé."}));
    EXPECT_EQ(winsock.calls, (std::vector<std::wstring>{L"Close"}));
    EXPECT_FALSE(service.IsActive());
    EXPECT_FALSE(window.shownActive);
    // The box comes last: the log is complete and the entry cleared while it is open.
    ASSERT_EQ(window.boxes.size(), 1u);
    EXPECT_EQ(window.boxes[0].first, L"Cet identifiant n'existe pas !");
    EXPECT_EQ(window.boxes[0].second, MessageIcon::Error);
    EXPECT_EQ(window.logWhenBoxShown, Lines(log));
    EXPECT_EQ(window.autostartWhenBoxShown, L" ");
    // The identifier and the interval stay.
    EXPECT_EQ(Stored(quorvelmod::kIdentifierValue), L"abc123");
    EXPECT_EQ(Stored(quorvelmod::kIntervalValue), L"900");
    ASSERT_FALSE(window.outcomes.empty());
    EXPECT_EQ(window.outcomes.back().result, quorvel::UpdateResult::kUnknownIdentifier);
    EXPECT_EQ(window.outcomes.back().identifier, L"abc123");
  }
}

TEST_F(UpdateServiceTest, ARefusalSwitchesOffOnlyTheIdentifierItRefused) {
  ActivateAndForget();
  Established();
  // Meanwhile another activation stored a newer identifier (a command, another program).
  ASSERT_TRUE(quorvel::StoreActivation(L"newer", 300, L"\"x\" -wiper"));
  ServerReplies({Reply(L"notfound")});
  EXPECT_FALSE(service.IsActive());
  EXPECT_EQ(StoredAutostart(), L"\"x\" -wiper");
  EXPECT_EQ(Stored(quorvelmod::kIdentifierValue), L"newer");
}

TEST_F(UpdateServiceTest, OneShotUpdateWritesNothingAndPromisesNoRetry) {
  service.SetOneShot();
  service.SecondsLeft = 1;
  service.Timer2_Timer();
  Established();
  ServerReplies({Reply(L"notfound")});
  EXPECT_EQ(window.outcomes.back().result, quorvel::UpdateResult::kUnknownIdentifier);
  EXPECT_EQ(StoredAutostart(), L"<missing>");
  service.SecondsLeft = 1;
  service.Timer2_Timer();
  const size_t before = Lines(log).size();
  winsock.state = 0;
  service.Winsock1_Connect();
  EXPECT_EQ(LinesSince(before), (std::vector<std::wstring>{kFailed}));
  EXPECT_EQ(window.outcomes.back().result, quorvel::UpdateResult::kFailed);
  EXPECT_EQ(window.outcomes.back().cause, quorvel::FailureCause::kConnection);
}

TEST_F(UpdateServiceTest, AnIdentifierWithAControlCharacterIsNeverSent) {
  ActivateAndForget();
  window.identifier = L"abc\r\nX-Evil: 1";
  const size_t before = Lines(log).size();
  winsock.state = Connection::kConnected;
  service.Winsock1_Connect();
  EXPECT_TRUE(winsock.sent.empty());
  EXPECT_EQ(LinesSince(before), (std::vector<std::wstring>{kFailed, kRetry}));
  EXPECT_EQ(window.outcomes.back().cause, quorvel::FailureCause::kBadIdentifier);
}

TEST_F(UpdateServiceTest, UnusableRepliesEndInTheFailureLines) {
  // An explicit "denied", no marker at all, a close without data, an overload notice.
  for (const std::vector<std::wstring>& reply :
       {std::vector<std::wstring>{Reply(L"denied")}, std::vector<std::wstring>{L"HTTP/1.0 500"},
        std::vector<std::wstring>{}, std::vector<std::wstring>{Reply(L"overloaded")}}) {
    ActivateAndForget();
    service.SecondsLeft = 500;
    Established();
    const size_t before = Lines(log).size() + reply.size();
    ServerReplies(reply);
    EXPECT_EQ(LinesSince(before), (std::vector<std::wstring>{kFailed, kRetry}));
    EXPECT_EQ(service.ReplyBuffer, L"denied");
    // Told apart for the daemon's reason: a marker with a refusal, or no marker at all.
    const bool marked = !reply.empty() && reply[0].find(kMarker) != std::wstring::npos;
    EXPECT_EQ(window.outcomes.back().cause,
              marked ? quorvel::FailureCause::kDenied : quorvel::FailureCause::kNoMarker);
    EXPECT_EQ(winsock.calls, (std::vector<std::wstring>{L"Close"}));
    EXPECT_TRUE(service.IsActive());
    EXPECT_TRUE(window.boxes.empty());
    EXPECT_EQ(window.Shown().back(), std::make_pair(false, std::int32_t{60}));
  }
  EXPECT_EQ(window.outcomes.size(), 4u);
}

TEST_F(UpdateServiceTest, AnyOtherWordChangesNothing) {
  ActivateAndForget();
  service.SecondsLeft = 500;
  Established();
  const size_t before = Lines(log).size() + 1;
  ServerReplies({Reply(L"Found")});
  EXPECT_EQ(LinesSince(before), std::vector<std::wstring>{});
  EXPECT_EQ(service.ReplyBuffer, L"Found");
  EXPECT_EQ(service.SecondsLeft, 500);
  EXPECT_TRUE(service.IsActive());
  EXPECT_TRUE(winsock.calls.empty());
  // Not confirmed, so not a success for the icon; the next attempt stays where it was.
  EXPECT_EQ(window.Shown(), (std::vector<std::pair<bool, std::int32_t>>{{false, 500}}));
  // The update is over: no timeout follows.
  for (int i = 0; i < 60; ++i) service.Timer2_Timer();
  EXPECT_EQ(LinesSince(before), std::vector<std::wstring>{});
}

TEST_F(UpdateServiceTest, AReplyInThreePiecesLogsEachPieceWithItsByteCount) {
  ActivateAndForget();
  Established();
  const size_t before = Lines(log).size();
  ServerReplies({L"HTTP/1.0 200 OK\r\n\r\n", L"<html><!-- OSKEL_", L"START_HTML -->found"});
  EXPECT_EQ(LinesSince(before),
            (std::vector<std::wstring>{
                L"Reception des données (19 bytes)...", L"Reception des données (17 bytes)...",
                L"Reception des données (19 bytes)...", L"Identifiant mis à jour avec succès."}));
}

TEST_F(UpdateServiceTest, DataIsReadOnlyWhileConnected) {
  ActivateAndForget();
  Established();
  winsock.state = 8;
  winsock.pieces.push_back(Reply(L"found"));
  const size_t before = Lines(log).size();
  service.Winsock1_DataArrival(40);
  EXPECT_EQ(winsock.pieces.size(), 1u);
  EXPECT_TRUE(service.ReplyBuffer.empty());
  EXPECT_EQ(Lines(log).size(), before);
}

TEST_F(UpdateServiceTest, FailedConnectionsEndInTheFailureLinesAndRetryWithinAMinute) {
  ActivateAndForget();
  service.SecondsLeft = 500;
  const size_t before = Lines(log).size();
  // The connect event without a connection, then the error event.
  winsock.state = 9;
  service.Winsock1_Connect();
  EXPECT_EQ(LinesSince(before), (std::vector<std::wstring>{kFailed, kRetry}));
  EXPECT_EQ(winsock.calls, (std::vector<std::wstring>{L"Close"}));
  EXPECT_TRUE(winsock.sent.empty());
  EXPECT_EQ(service.SecondsLeft, 60);
  EXPECT_EQ(window.Shown(), (std::vector<std::pair<bool, std::int32_t>>{{false, 60}}));

  // The retry comes 60 ticks later, and the interval is reloaded after it.
  winsock.calls.clear();
  for (int i = 0; i < 59; ++i) service.Timer2_Timer();
  EXPECT_TRUE(winsock.calls.empty());
  service.Timer2_Timer();
  EXPECT_EQ(winsock.calls, (std::vector<std::wstring>{L"Close", L"Connect"}));
  EXPECT_EQ(service.SecondsLeft, 900);

  winsock.calls.clear();
  service.Winsock1_Error();
  EXPECT_EQ(LinesSince(before + 2), (std::vector<std::wstring>{kFailed, kRetry}));
  EXPECT_EQ(winsock.calls, (std::vector<std::wstring>{L"Close"}));
  EXPECT_EQ(service.SecondsLeft, 60);

  // A countdown already shorter than a minute is not lengthened.
  service.SecondsLeft = 20;
  service.Winsock1_Error();
  EXPECT_EQ(service.SecondsLeft, 20);
  EXPECT_TRUE(service.IsActive());
}

TEST_F(UpdateServiceTest, ExpiryDuringAnUpdateAbandonsItSilently) {
  ActivateAndForget();
  Established();
  winsock.pieces.push_back(L"HTTP/1.0 200 OK\r\n");
  service.Winsock1_DataArrival(17);
  const size_t before = Lines(log).size();
  service.SecondsLeft = 1;
  service.Timer2_Timer();
  EXPECT_EQ(winsock.calls, (std::vector<std::wstring>{L"Close", L"Connect"}));
  EXPECT_EQ(Lines(log).size(), before);
  // The new connection starts with an empty buffer.
  Established();
  ServerReplies({Reply(L"found")});
  EXPECT_EQ(service.ReplyBuffer, L"found");
}

TEST_F(UpdateServiceTest, IdentifierIsReadWhenTheConnectionIsEstablished) {
  ActivateAndForget();
  window.identifier = L"edited";
  Established();
  ASSERT_EQ(winsock.sent.size(), 1u);
  EXPECT_EQ(winsock.sent[0], L"GET /update?ip_key=edited HTTP/1.0\r\nHost: update.example\r\n\r\n");
  EXPECT_EQ(Stored(quorvelmod::kIdentifierValue), L"abc123");
  // An IPv6 address as the server: in brackets in the Host line.
  winsock.SetRemoteHost(L"::1");
  Established();
  ASSERT_EQ(winsock.sent.size(), 2u);
  EXPECT_EQ(winsock.sent[1], L"GET /update?ip_key=edited HTTP/1.0\r\nHost: [::1]\r\n\r\n");
}

TEST_F(UpdateServiceTest, ReplyLongerThan64KiBIsNotCollected) {
  ActivateAndForget();
  service.SecondsLeft = 500;
  Established();
  // Exactly 64 KiB is still a reply.
  const std::wstring head = L"HTTP/1.0 200 OK\r\n\r\n" + kMarker + L"found";
  winsock.pieces.push_back(head);
  service.Winsock1_DataArrival(static_cast<std::int32_t>(head.size()));
  const std::wstring filler(65536 - head.size(), L' ');
  winsock.pieces.push_back(filler);
  service.Winsock1_DataArrival(static_cast<std::int32_t>(filler.size()));
  EXPECT_EQ(service.ReplyBuffer.size(), 65536u);
  EXPECT_TRUE(winsock.calls.empty());

  // One byte more and the connection is closed with the failure lines.
  winsock.pieces.push_back(L" ");
  service.Winsock1_DataArrival(1);
  EXPECT_EQ(LinesSince(Lines(log).size() - 3),
            (std::vector<std::wstring>{L"Reception des données (1 bytes)...", kFailed, kRetry}));
  EXPECT_EQ(winsock.calls, (std::vector<std::wstring>{L"Close"}));
  EXPECT_TRUE(service.ReplyBuffer.empty());
  EXPECT_EQ(service.SecondsLeft, 60);
  EXPECT_TRUE(service.IsActive());
}

TEST_F(UpdateServiceTest, UpdateWithoutOutcomeIsGivenUpAfterThirtySeconds) {
  ActivateAndForget();
  service.SecondsLeft = 500;
  Established();  // request sent, the server stays silent
  const size_t before = Lines(log).size();
  for (int i = 0; i < 29; ++i) service.Timer2_Timer();
  EXPECT_TRUE(winsock.calls.empty());
  EXPECT_EQ(Lines(log).size(), before);
  service.Timer2_Timer();
  EXPECT_EQ(winsock.calls, (std::vector<std::wstring>{L"Close"}));
  EXPECT_EQ(LinesSince(before), (std::vector<std::wstring>{kFailed, kRetry}));
  EXPECT_EQ(service.SecondsLeft, 60);
  // Nothing more until the retry.
  for (int i = 0; i < 59; ++i) service.Timer2_Timer();
  EXPECT_EQ(winsock.calls.size(), 1u);
  service.Timer2_Timer();
  EXPECT_EQ(winsock.calls, (std::vector<std::wstring>{L"Close", L"Close", L"Connect"}));

  // A connection that never completes counts from the Connect as well.
  winsock.calls.clear();
  for (int i = 0; i < 30; ++i) service.Timer2_Timer();
  EXPECT_EQ(winsock.calls, (std::vector<std::wstring>{L"Close"}));
  EXPECT_EQ(LinesSince(before + 2), (std::vector<std::wstring>{kFailed, kRetry}));

  // An update that reached its outcome is not timed out later.
  winsock.calls.clear();
  service.SecondsLeft = 1;
  service.Timer2_Timer();
  Established();
  ServerReplies({Reply(L"found")});
  const size_t afterFound = Lines(log).size();
  for (int i = 0; i < 40; ++i) service.Timer2_Timer();
  EXPECT_EQ(Lines(log).size(), afterFound);
}

TEST_F(UpdateServiceTest, DeactivationClosesAndClearsOnlyTheAutostartEntry) {
  ActivateAndForget();
  Established();
  const size_t before = Lines(log).size();
  service.DeactivateService();
  EXPECT_EQ(LinesSince(before),
            (std::vector<std::wstring>{L"Désactivation du service...", L"Service désactivé."}));
  EXPECT_EQ(winsock.calls, (std::vector<std::wstring>{L"Close"}));
  EXPECT_FALSE(service.IsActive());
  EXPECT_FALSE(window.shownActive);
  EXPECT_EQ(StoredAutostart(), L" ");
  EXPECT_EQ(Stored(quorvelmod::kIdentifierValue), L"abc123");
  EXPECT_EQ(Stored(quorvelmod::kIntervalValue), L"900");
  EXPECT_EQ(service.SecondsLeft, 900);
}

TEST_F(UpdateServiceTest, RestoredStateIsShownAndLogged) {
  service.RestoreServiceState(true, 300);
  EXPECT_TRUE(service.IsActive());
  EXPECT_TRUE(window.shownActive);
  EXPECT_EQ(service.SecondsLeft, 300);
  service.RestoreServiceState(false, 900);
  EXPECT_FALSE(service.IsActive());
  EXPECT_FALSE(window.shownActive);
  EXPECT_EQ(Lines(log), (std::vector<std::wstring>{L"Le service est activé.", L"Le service est désactivé."}));
  // Restoring starts no update.
  EXPECT_TRUE(winsock.calls.empty());
}

TEST_F(UpdateServiceTest, ResumeAndNetworkChangeBringTheUpdateForward) {
  // Started active: no update has begun since start-up, so the update comes in 10 seconds.
  service.RestoreServiceState(true, 900);
  const size_t first = Lines(log).size();
  service.EarlyUpdate(quorvel::WakeReason::Resume);
  EXPECT_EQ(service.SecondsLeft, 10);
  // A burst of events moves nothing further and logs nothing more.
  service.EarlyUpdate(quorvel::WakeReason::NetworkChange);
  service.EarlyUpdate(quorvel::WakeReason::Resume);
  EXPECT_EQ(LinesSince(first),
            (std::vector<std::wstring>{L"Sortie de veille, mise à jour dans 10 secondes."}));
  EXPECT_EQ(TicksToNextUpdate(), 10);
  EXPECT_EQ(winsock.calls, (std::vector<std::wstring>{L"Close", L"Connect"}));
  // The expiry that started it reloaded the interval from the list, as usual.
  EXPECT_EQ(service.SecondsLeft, 900);
  // The update ends in success; 25 seconds after it began, an early event waits for the
  // minute to be over.
  const auto eventAfterASuccess = [&](quorvel::WakeReason reason) {
    Established();
    ServerReplies({Reply(L"found")});
    nowMs += 25'000;
    service.EarlyUpdate(reason);
    EXPECT_EQ(service.SecondsLeft, 35);
  };
  eventAfterASuccess(quorvel::WakeReason::NetworkChange);
  EXPECT_EQ(Lines(log).back(), L"Changement de réseau, mise à jour dans 35 secondes.");
  EXPECT_EQ(TicksToNextUpdate(), 35);
  EXPECT_EQ(service.SecondsLeft, 900);

  // The spacing counts from the latest update, not the first: a second early event 25 s after
  // an update that was 35 s away leaves it 35 s away.
  eventAfterASuccess(quorvel::WakeReason::Resume);

  // Seconds spent asleep count: the clock ran on while no tick came.
  nowMs += 3'600'000;
  service.EarlyUpdate(quorvel::WakeReason::Resume);
  EXPECT_EQ(service.SecondsLeft, 10);
}

TEST_F(UpdateServiceTest, EarlyUpdateNeverDelaysAndNeedsAnActiveService) {
  service.RestoreServiceState(false, 900);
  const size_t first = Lines(log).size();
  service.EarlyUpdate(quorvel::WakeReason::Resume);
  service.EarlyUpdate(quorvel::WakeReason::NetworkChange);
  EXPECT_EQ(service.SecondsLeft, 900);
  EXPECT_EQ(LinesSince(first).size(), 0u);
  EXPECT_TRUE(winsock.calls.empty());

  // An update already nearer than the early one stays where it is, without a line.
  window.row = 0;
  ActivateAndForget();
  const size_t activated = Lines(log).size();
  nowMs += 55'000;
  service.SecondsLeft = 4;
  service.EarlyUpdate(quorvel::WakeReason::NetworkChange);
  EXPECT_EQ(service.SecondsLeft, 4);
  EXPECT_EQ(LinesSince(activated).size(), 0u);

  // After a deactivation nothing happens either.
  service.DeactivateService();
  const size_t deactivated = Lines(log).size();
  service.EarlyUpdate(quorvel::WakeReason::Resume);
  EXPECT_EQ(service.SecondsLeft, 4);
  EXPECT_EQ(Lines(log).size(), deactivated);
}

TEST_F(UpdateServiceTest, StartUpdateKeepsAMinuteAfterThePreviousRunsLastUpdate) {
  // A restart 20 s after the previous run's update: 40 s more, not 10.
  service.PreviousUpdateSecondsAgo(20);
  service.RestoreServiceState(true, 900);
  service.EarlyUpdate(quorvel::WakeReason::Start);
  EXPECT_EQ(Lines(log).back(), L"Démarrage du service, mise à jour dans 40 secondes.");
  EXPECT_EQ(window.updatesStarted, 0);
  EXPECT_EQ(TicksToNextUpdate(), 40);
  EXPECT_EQ(window.updatesStarted, 1) << "the window is told, to store the time";
  // Long ago: the usual 10 s. A time ahead of the clock (set back since): a whole minute.
  for (const auto& [ago, wait] : {std::pair{600, 10}, std::pair{-300, 60}}) {
    service.PreviousUpdateSecondsAgo(ago);
    service.SecondsLeft = 900;
    service.EarlyUpdate(quorvel::WakeReason::Start);
    EXPECT_EQ(service.SecondsLeft, wait) << ago;
  }
}

TEST_F(UpdateServiceTest, ARefusedServerIsNeverCalledAndActivationSaysWhy) {
  const std::wstring refusal = L"serveur refusé: http: (le port doit être un nombre de 1 à 65535)";
  service.RefuseServer(refusal);
  service.ActivateService();
  ASSERT_EQ(window.boxes.size(), 1u);
  EXPECT_EQ(window.boxes[0].first, L"Le service n'est pas activé, " + refusal + L".");
  EXPECT_EQ(window.boxes[0].second, MessageIcon::Error);
  EXPECT_FALSE(service.IsActive());
  EXPECT_EQ(window.stateShown, 0);
  EXPECT_EQ(StoredAutostart(), L"<missing>");
  EXPECT_EQ(Stored(quorvelmod::kIdentifierValue), L"<missing>");

  // Started active (a logon): no early update, and each expiry says it and sends nothing.
  service.RestoreServiceState(true, 60);
  const size_t first = Lines(log).size();
  service.EarlyUpdate(quorvel::WakeReason::Start);
  EXPECT_EQ(service.SecondsLeft, 60);
  for (int tick = 0; tick < 60; ++tick) service.Timer2_Timer();
  EXPECT_EQ(LinesSince(first), (std::vector<std::wstring>{refusal + L", rien n'est envoyé."}));
  ASSERT_EQ(window.outcomes.size(), 1u);
  EXPECT_EQ(window.outcomes[0].cause, quorvel::FailureCause::kServerRefused);
  EXPECT_EQ(window.outcomes[0].result, quorvel::UpdateResult::kFailed);
  EXPECT_TRUE(winsock.calls.empty());
  EXPECT_EQ(window.updatesStarted, 0);
  // Switching it off still works.
  service.DeactivateService();
  EXPECT_FALSE(service.IsActive());
}

}  // namespace
