// What only a shared PostgreSQL store does, with two store objects on one database as two
// servers: each change heard by the other name by name, the DNS work taken by one at a time
// (the newest address pushed, a batch given back when its connection drops), its opening, and
// a server's copy when another server records the same name while it writes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <utility>

#include "postgres_test.hpp"
#include "server/name_store.hpp"
#include "server/registry.hpp"

namespace {

using qserver::NameStore;
using qserver::StoreChange;
using Kind = qserver::StoreChange::Kind;
using namespace std::chrono_literals;

class PostgresStores : public ::testing::Test {
 protected:
  void SetUp() override {
    a_ = Open();
    b_ = Open();
    ASSERT_TRUE(a_ && b_);
  }
  std::unique_ptr<NameStore> Open() {
    std::string error;
    auto store = qserver::OpenStore(database_.Uri(), true, error);
    EXPECT_NE(store, nullptr) << error;
    return store;
  }
  // What store heard within the time given, until it has heard count changes.
  static std::vector<StoreChange> Heard(NameStore& store, std::size_t count, std::chrono::milliseconds within) {
    std::vector<StoreChange> heard;
    const auto until = std::chrono::steady_clock::now() + within;
    while (heard.size() < count && std::chrono::steady_clock::now() < until) {
      for (StoreChange& change : store.TakeChanges()) heard.push_back(std::move(change));
      std::this_thread::sleep_for(5ms);
    }
    return heard;
  }

  qserver_test::TestDatabase database_;
  std::unique_ptr<NameStore> a_, b_;
};

TEST_F(PostgresStores, EachChangeOfOneServerReachesTheOtherNameByNameWithinASecond) {
  a_->ChangeMark();  // both listen, as serve does
  const long long mark = b_->ChangeMark();
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(a_->Add("maison", "d1", "t0").ok());
  ASSERT_TRUE(a_->Record("maison", qserver::kFamilyV4, "192.0.2.1", "t1", true).ok());
  ASSERT_TRUE(a_->Record("maison", qserver::kFamilyV6, "2001:db8::1", "t1", false).ok());
  ASSERT_TRUE(a_->Rekey("maison", "d2").value);
  ASSERT_TRUE(a_->Add("bureau", "d3", "t2").ok());
  ASSERT_TRUE(a_->Remove("bureau", true).value);
  EXPECT_FALSE(a_->Remove("bureau", true).value);  // nothing removed: nothing told
  const std::vector<StoreChange> heard = Heard(*b_, 6, 1000ms);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1000ms);
  EXPECT_NE(b_->ChangeMark(), mark);
  const std::vector<StoreChange> expected = {
      {Kind::kAdded, "maison", "d1", "", qserver::kFamilyV4, ""},
      {Kind::kRecorded, "maison", "d1", "", qserver::kFamilyV4, "192.0.2.1"},
      {Kind::kRecorded, "maison", "d1", "", qserver::kFamilyV6, "2001:db8::1"},
      {Kind::kRekeyed, "maison", "d2", "d1", qserver::kFamilyV4, ""},
      {Kind::kAdded, "bureau", "d3", "", qserver::kFamilyV4, ""},
      {Kind::kRemoved, "bureau", "d3", "", qserver::kFamilyV4, ""},
  };
  EXPECT_EQ(heard, expected);
  // Of A's own changes, only its addresses are told back to it, in commit order with the
  // others' (so that its copy ends at the store's last address); what failed is told to no one.
  const std::vector<StoreChange> own(expected.begin() + 1, expected.begin() + 3);
  EXPECT_EQ(Heard(*a_, 3, 200ms), own);
  EXPECT_FALSE(a_->Add("garage", "d2", "t3").ok());  // the digest is maison's
  EXPECT_TRUE(Heard(*b_, 1, 200ms).empty());

  // The listener's connection cut: once it is back, one reload (what was missed), then the
  // changes name by name again.
  EXPECT_EQ(database_.Run("SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity"
                          " WHERE datname = current_database() AND query LIKE 'LISTEN%'"),
            "2");
  std::vector<StoreChange> after = Heard(*b_, 1, 3000ms);
  ASSERT_EQ(after.size(), 1u);
  EXPECT_EQ(after[0].kind, Kind::kReload);
  ASSERT_TRUE(a_->Add("garage", "d4", "t4").ok());
  after = Heard(*b_, 1, 1000ms);
  ASSERT_EQ(after.size(), 1u);
  EXPECT_EQ(after[0], (StoreChange{Kind::kAdded, "garage", "d4", "", qserver::kFamilyV4, ""}));
  // A whole store written at once (migrate --replace): every other server reads it again.
  Heard(*a_, 1, 100ms);
  ASSERT_TRUE(a_->Fill(a_->Contents().value, true).ok());
  after = Heard(*b_, 1, 1000ms);
  ASSERT_EQ(after.size(), 1u);
  EXPECT_EQ(after[0].kind, Kind::kReload);
}

TEST_F(PostgresStores, TheWorkIsTakenByOneServerAtATimeAndTheNewestAddressIsPushed) {
  ASSERT_TRUE(a_->Add("maison", "d1", "t0").ok());
  ASSERT_TRUE(a_->Record("maison", qserver::kFamilyV4, "192.0.2.1", "t1", true).ok());
  ASSERT_TRUE(a_->Add("bureau", "d2", "t0").ok());
  ASSERT_TRUE(a_->Record("bureau", qserver::kFamilyV6, "2001:db8::2", "t1", true).ok());
  const auto taken = a_->Pending(1);
  ASSERT_TRUE(taken.ok()) << taken.error;
  ASSERT_EQ(taken.value.size(), 1u);
  EXPECT_EQ(taken.value[0].label, "maison");
  EXPECT_TRUE(taken.value[0].first);
  // B skips what A holds, and takes what A does not.
  auto other = b_->Pending(10);
  ASSERT_EQ(other.value.size(), 1u);
  EXPECT_EQ(other.value[0].label, "bureau");
  ASSERT_TRUE(b_->Release().ok());

  // A change of a name A is pushing waits for A's push, so that the older address is never
  // pushed after the newer; no deadlock when A then marks the name published.
  std::atomic<bool> recorded{false};
  std::string error = "not returned";
  std::thread writer([&] {
    error = b_->Record("maison", qserver::kFamilyV4, "192.0.2.2", "t2", true).error;
    recorded = true;
  });
  std::this_thread::sleep_for(300ms);
  EXPECT_FALSE(recorded) << "the change did not wait for the push of its name";
  ASSERT_TRUE(a_->Done(taken.value).ok());
  ASSERT_TRUE(a_->Release().ok());
  writer.join();
  EXPECT_EQ(error, "");
  other = b_->Pending(10);
  ASSERT_EQ(other.value.size(), 2u);
  EXPECT_EQ(other.value[1].label, "maison");
  EXPECT_EQ(other.value[1].ipv4, "192.0.2.2");
  EXPECT_FALSE(other.value[1].first);  // published by A's push
  EXPECT_NE(other.value[1].generation, taken.value[0].generation);
  ASSERT_TRUE(b_->Release().ok());
}

TEST_F(PostgresStores, ABatchWhoseConnectionDropsGoesBackToTheOtherServer) {
  ASSERT_TRUE(a_->Add("maison", "d1", "t0").ok());
  ASSERT_TRUE(a_->Record("maison", qserver::kFamilyV4, "192.0.2.1", "t1", true).ok());
  const auto taken = a_->Pending(10).value;
  ASSERT_EQ(taken.size(), 1u);
  EXPECT_TRUE(b_->Pending(10).value.empty());
  ASSERT_TRUE(b_->Release().ok());
  // As a server killed in the middle of a push: its transaction ends with its connection.
  EXPECT_EQ(database_.Run("SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity"
                          " WHERE datname = current_database() AND state = 'idle in transaction'"),
            "1");
  std::vector<qserver::PendingRow> again;
  for (int i = 0; i < 100 && again.empty(); ++i) {
    again = b_->Pending(10).value;
    if (again.empty()) std::this_thread::sleep_for(20ms);
  }
  EXPECT_EQ(again, taken);
  EXPECT_FALSE(a_->Done(taken).ok());  // its batch is gone, its work not dropped
  ASSERT_TRUE(b_->Release().ok());
  // A's next look finds its connection again, and the work still there.
  EXPECT_EQ(a_->Pending(10).value, taken);
  ASSERT_TRUE(a_->Done(taken).ok());
  ASSERT_TRUE(a_->Release().ok());
  EXPECT_EQ(b_->PendingCount().value, 0);
}

TEST(PostgresStore, OpeningRefusesAPasswordAndMakesTablesOnlyWhenAsked) {
  qserver_test::TestDatabase database;
  const std::string folder = qserver_test::PostgresFolder();
  std::string error;
  for (const std::string& uri : {"postgresql://root:s3cret@/quorvel?host=" + folder,
                                 "postgres:///quorvel?host=" + folder + "&password=s3cret"}) {
    EXPECT_EQ(qserver::OpenStore(uri, true, error), nullptr) << uri;
    EXPECT_NE(error.find("carries a password"), std::string::npos) << error;
    EXPECT_NE(error.find("PGPASSFILE"), std::string::npos) << error;
    EXPECT_EQ(error.find("s3cret"), std::string::npos) << error;
  }
  // A database without the tables is no store, unless one is to be made there.
  EXPECT_EQ(qserver::OpenStore(database.Uri(), false, error), nullptr);
  EXPECT_NE(error.find("no store at " + database.Uri()), std::string::npos) << error;
  EXPECT_EQ(database.Run("SELECT count(*) FROM pg_tables WHERE schemaname = 'public'"), "0");
  EXPECT_NE(qserver::OpenStore(database.Uri(), true, error), nullptr) << error;
  EXPECT_EQ(database.Run("SELECT count(*) FROM pg_tables WHERE schemaname = 'public'"), "3");
  EXPECT_NE(qserver::OpenStore(database.Uri(), false, error), nullptr) << error;
  EXPECT_EQ(qserver::OpenStore("postgresql:///quorvel?host=/nonexistent", true, error), nullptr);
  EXPECT_NE(error.find("cannot connect to the store"), std::string::npos) << error;
}

// A store as a server sees it, whose Record lets something happen once the address is written
// and before the server's copy takes it: the moment another server may record the same name.
class RecordHook : public NameStore {
 public:
  RecordHook(NameStore& inner, std::function<void()> after) : inner_(inner), after_(std::move(after)) {}
  qserver::Result<> Record(const std::string& label, qserver::Family family, const std::string& address,
                           const std::string& now, bool dns) override {
    qserver::Result<> written = inner_.Record(label, family, address, now, dns);
    if (after_) std::exchange(after_, nullptr)();
    return written;
  }
  qserver::Result<Added> Add(const std::string& l, const std::string& d, const std::string& n) override {
    return inner_.Add(l, d, n);
  }
  qserver::Result<bool> Remove(const std::string& l, bool dns) override { return inner_.Remove(l, dns); }
  qserver::Result<bool> Rekey(const std::string& l, const std::string& d) override { return inner_.Rekey(l, d); }
  qserver::Result<std::vector<qserver::NameRow>> All() override { return inner_.All(); }
  qserver::Result<std::optional<qserver::NameRow>> FindByDigest(const std::string& d) override {
    return inner_.FindByDigest(d);
  }
  qserver::Result<std::size_t> Count() override { return inner_.Count(); }
  qserver::Result<std::vector<qserver::PendingRow>> Pending(int limit) override { return inner_.Pending(limit); }
  qserver::Result<> Done(const std::vector<qserver::PendingRow>& rows) override { return inner_.Done(rows); }
  qserver::Result<> SetAside(const qserver::PendingRow& row) override { return inner_.SetAside(row); }
  qserver::Result<long long> PendingCount() override { return inner_.PendingCount(); }
  qserver::Result<long long> PublishAllInto(const std::string& zone) override { return inner_.PublishAllInto(zone); }
  qserver::Result<> Backup(const std::string& path) override { return inner_.Backup(path); }
  long long ChangeMark() override { return inner_.ChangeMark(); }
  std::vector<StoreChange> TakeChanges() override { return inner_.TakeChanges(); }
  qserver::Result<qserver::StoreContents> Contents() override { return inner_.Contents(); }
  qserver::Result<> Fill(const qserver::StoreContents& c, bool replace) override { return inner_.Fill(c, replace); }

 private:
  NameStore& inner_;
  std::function<void()> after_;
};

// Server A records 192.0.2.1 for a name; between its write and its copy's update, server B
// records 192.0.2.2, committed after A's, and A takes B's address into its copy. A's copy must
// not end at its own, older address: a client back at 192.0.2.1 would be told "unchanged"
// while the store and DNS keep 192.0.2.2.
TEST_F(PostgresStores, AnAddressAnotherServerRecordsWhileThisOneWritesIsNeverHiddenByTheOlderOne) {
  ASSERT_TRUE(a_->Add("maison", "d1", "t0").ok());
  qserver::Registry* registry = nullptr;
  long long mark = 0;
  RecordHook hooked(*a_, [&] {
    ASSERT_TRUE(b_->Record("maison", qserver::kFamilyV4, "192.0.2.2", "t2", false).ok());
    // A hears both (its own echo, then B's) and takes them before its copy takes its own write.
    const auto until = std::chrono::steady_clock::now() + 2s;
    while (a_->ChangeMark() < mark + 2 && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(5ms);
    EXPECT_EQ(a_->ChangeMark(), mark + 2);
    registry->Refresh();
  });
  qserver::Registry copy(hooked, false, 0, nullptr);
  registry = &copy;
  copy.Load();
  mark = a_->ChangeMark();
  using Outcome = qserver::Registry::Outcome;
  EXPECT_EQ(copy.Update("d1", "", {{qserver::kFamilyV4, "192.0.2.1"}}).outcome, Outcome::kChanged);
  EXPECT_EQ(a_->FindByDigest("d1").value->ipv4, "192.0.2.2");
  // The client back at A's address: recorded again, not "unchanged".
  EXPECT_EQ(copy.Update("d1", "", {{qserver::kFamilyV4, "192.0.2.1"}}).outcome, Outcome::kChanged);
  EXPECT_EQ(a_->FindByDigest("d1").value->ipv4, "192.0.2.1");
  EXPECT_EQ(copy.Update("d1", "", {{qserver::kFamilyV4, "192.0.2.1"}}).outcome, Outcome::kUnchanged);
}

}  // namespace
