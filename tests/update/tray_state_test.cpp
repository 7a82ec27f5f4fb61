// The notification icon's state rules over a clock the test moves: the image and the tooltip's
// second line after each outcome, and the balloons of a failing period.
#include "update/tray_state.hpp"

#include <gtest/gtest.h>

namespace {

using quorvel::TrayBalloon;
using quorvel::TrayImage;
using quorvel::TrayState;
using quorvel::TrayTime;

class TrayStateTest : public ::testing::Test {
 protected:
  // Moves the clock on; the local time follows it from 23:50:00.
  void Wait(int seconds) { ms += seconds * 1000LL; }
  TrayTime Now() const {
    const std::int64_t s = (23 * 3600 + 50 * 60) + ms / 1000;
    return {ms, {static_cast<int>(s / 3600 % 24), static_cast<int>(s / 60 % 60), static_cast<int>(s % 60)}};
  }

  std::int64_t ms = 0;
  TrayState state{[this] { return Now(); }};
};

TEST_F(TrayStateTest, ImageAndLineFollowServiceAndOutcomes) {
  EXPECT_EQ(state.Image(), TrayImage::Off);
  EXPECT_EQ(state.StateLine(), L"Service désactivé");
  state.ServiceSwitched(true);
  EXPECT_EQ(state.Image(), TrayImage::Normal);
  EXPECT_EQ(state.StateLine(), L"En attente de la première mise à jour");
  state.ServerRefused();
  EXPECT_EQ(state.Image(), TrayImage::Warning);
  EXPECT_EQ(state.StateLine(), L"Serveur refusé, rien n'est envoyé");
  state.ServiceSwitched(false);
  EXPECT_EQ(state.Image(), TrayImage::Off) << "switched off, the icon says so";
  state.ServiceSwitched(true);

  Wait(65);
  EXPECT_EQ(state.UpdateSucceeded(false), TrayBalloon::None);
  EXPECT_EQ(state.Image(), TrayImage::Normal);
  EXPECT_EQ(state.StateLine(), L"Dernière mise à jour réussie à 23:51");

  // The retry time wraps past midnight.
  Wait(9 * 60);
  EXPECT_EQ(state.UpdateFailed(60, false), TrayBalloon::None);
  EXPECT_EQ(state.Image(), TrayImage::Warning);
  EXPECT_EQ(state.StateLine(), L"Échec de la mise à jour à 00:00, nouvel essai à 00:01");

  state.ServiceSwitched(false);
  EXPECT_EQ(state.Image(), TrayImage::Off);
  EXPECT_EQ(state.StateLine(), L"Service désactivé");
  EXPECT_EQ(quorvel::HoursMinutesAfter({23, 59, 30}, 3600), L"00:59");
}

TEST_F(TrayStateTest, OneBalloonPerFailingPeriodAndOneOnRecovery) {
  state.ServiceSwitched(true);
  // Three failures in two minutes: not yet ten minutes.
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(state.UpdateFailed(60, false), TrayBalloon::None);
    Wait(60);
  }
  // Ten minutes after the first failure, the next failure announces the period...
  Wait(7 * 60);
  EXPECT_EQ(state.UpdateFailed(60, false), TrayBalloon::Failing);
  // ...and no later failure does.
  for (int i = 0; i < 20; ++i) {
    Wait(60);
    EXPECT_EQ(state.UpdateFailed(60, false), TrayBalloon::None);
  }
  EXPECT_EQ(state.UpdateSucceeded(false), TrayBalloon::Recovered);
  EXPECT_EQ(state.UpdateSucceeded(false), TrayBalloon::None);

  // Ten minutes with only two attempts (a long interval): no balloon until the third.
  EXPECT_EQ(state.UpdateFailed(900, false), TrayBalloon::None);
  Wait(15 * 60);
  EXPECT_EQ(state.UpdateFailed(60, false), TrayBalloon::None);
  Wait(60);
  EXPECT_EQ(state.UpdateFailed(60, false), TrayBalloon::Failing);
  // A period that ends with the service switched off says nothing more.
  state.ServiceSwitched(false);
  state.ServiceSwitched(true);
  EXPECT_EQ(state.UpdateSucceeded(false), TrayBalloon::None);
  // An unannounced period recovers silently.
  EXPECT_EQ(state.UpdateFailed(60, false), TrayBalloon::None);
  EXPECT_EQ(state.UpdateSucceeded(false), TrayBalloon::None);
}

TEST_F(TrayStateTest, NoBalloonWhileTheWindowIsShown) {
  state.ServiceSwitched(true);
  for (int i = 0; i < 12; ++i) {
    EXPECT_EQ(state.UpdateFailed(60, true), TrayBalloon::None);
    Wait(60);
  }
  // Hidden again while it still fails: the announcement comes then, once.
  EXPECT_EQ(state.UpdateFailed(60, false), TrayBalloon::Failing);
  Wait(60);
  EXPECT_EQ(state.UpdateFailed(60, false), TrayBalloon::None);
  // Recovering in front of the user: the log says it, no balloon.
  EXPECT_EQ(state.UpdateSucceeded(true), TrayBalloon::None);
  EXPECT_EQ(state.Image(), TrayImage::Normal);
}

}  // namespace
