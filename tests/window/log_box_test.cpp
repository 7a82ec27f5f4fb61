// The log box kept equal to the activity log: lines appended as the log grows, the whole text
// again when the log starts afresh, in a real multi-line edit control.
#include "window/log_box.hpp"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log/activity_log.hpp"

namespace {

class LogBoxTextTest : public ::testing::Test {
 protected:
  void SetUp() override {
    box_ =
        CreateWindowExW(0, L"EDIT", L"", WS_POPUP | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY,
                        0, 0, 400, 200, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(box_, nullptr);
    SendMessageW(box_, EM_SETLIMITTEXT, 0, 0);
  }
  void TearDown() override { DestroyWindow(box_); }

  std::wstring BoxText() const {
    std::vector<wchar_t> buffer(static_cast<size_t>(GetWindowTextLengthW(box_)) + 1);
    const int length = GetWindowTextW(box_, buffer.data(), static_cast<int>(buffer.size()));
    return std::wstring(buffer.data(), static_cast<size_t>(length));
  }
  DWORD Caret() const {
    DWORD start = 0, end = 0;
    SendMessageW(box_, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
    return start;
  }

  HWND box_ = nullptr;
  quorvel::LogBoxText text_;
};

TEST_F(LogBoxTextTest, FollowsTheLogThroughGrowthAndItsCap) {
  quorvel::ActivityLog log([] { return quorvel::TimeOfDay{12, 34, 56}; });
  log.SetListener([&](const std::wstring& whole, std::wstring_view) { text_.Show(box_, whole); });
  log.WriteLog(L"Quorvel Version 2.0 - exemple.test", false);
  EXPECT_EQ(BoxText(), log.Text());
  // Enough lines to pass the cap several times: each write must leave the box equal to the log,
  // the caret at its end.
  for (int i = 0; i < 800; ++i) {
    log.WriteLog(L"Reception des données (" + std::to_wstring(i) + L" bytes)...", true);
    ASSERT_EQ(BoxText(), log.Text()) << "after line " << i;
    ASSERT_EQ(Caret(), static_cast<DWORD>(log.Text().size())) << "after line " << i;
  }
}

TEST_F(LogBoxTextTest, TextThatDoesNotExtendWhatIsShownReplacesIt) {
  text_.Show(box_, L"12:00:00  un");
  text_.Show(box_, L"12:00:00  un\r\n12:00:01  deux");
  EXPECT_EQ(BoxText(), L"12:00:00  un\r\n12:00:01  deux");
  // Longer, but not the same beginning: a log started afresh with one very long line.
  const std::wstring fresh = L"\r\n12:00:02  " + std::wstring(100, L'x');
  text_.Show(box_, fresh);
  EXPECT_EQ(BoxText(), fresh);
  // Shorter: the box holds exactly the new text.
  text_.Show(box_, L"\r\n12:00:03  trois");
  EXPECT_EQ(BoxText(), L"\r\n12:00:03  trois");
  // Someone else changed the box: the next text is shown whole, not appended to that.
  SetWindowTextW(box_, L"autre chose");
  text_.Show(box_, L"\r\n12:00:03  trois\r\n12:00:04  quatre");
  EXPECT_EQ(BoxText(), L"\r\n12:00:03  trois\r\n12:00:04  quatre");
}

}  // namespace
