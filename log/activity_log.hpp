// The activity log: the time-stamped lines the user reads in the log box. One object owns
// the text; the window mirrors it after every write.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace quorvel {

struct TimeOfDay {
  int hours = 0;
  int minutes = 0;
  int seconds = 0;
};

// Local time now, from the system clock.
TimeOfDay LocalTimeOfDay();

// "hh:mm:ss", two digits each.
std::wstring FormatTimeOfDay(const TimeOfDay& time);

class ActivityLog {
 public:
  // The log is discarded whole once it is longer than this, before the next line.
  static constexpr size_t kCap = 10000;

  using Clock = std::function<TimeOfDay()>;
  // text: the whole log after the write; line: what the write appended, without the line end
  // before it ("hh:mm:ss  message").
  using Listener = std::function<void(const std::wstring& text, std::wstring_view line)>;

  explicit ActivityLog(Clock clock = LocalTimeOfDay);

  // Appends "hh:mm:ss  message", after a CR LF when newLine is true. Always returns true.
  bool WriteLog(std::wstring message, bool newLine);

  const std::wstring& Text() const { return text_; }

  // Called after each write (the window's log box, the daemon's output).
  void SetListener(Listener listener) { listener_ = std::move(listener); }

 private:
  Clock clock_;
  Listener listener_;
  std::wstring text_;
};

}  // namespace quorvel
