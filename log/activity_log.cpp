#include "log/activity_log.hpp"

#include <ctime>

#include "common/text.hpp"

namespace quorvel {

TimeOfDay LocalTimeOfDay() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &now);
#else
  localtime_r(&now, &local);
#endif
  return {local.tm_hour, local.tm_min, local.tm_sec};
}

namespace {

// At least two digits, as "%02d" writes it.
std::wstring TwoDigits(int value) {
  std::wstring text = DecimalText(value);
  if (text.size() < 2) text.insert(0, 1, L'0');
  return text;
}

}  // namespace

std::wstring FormatTimeOfDay(const TimeOfDay& time) {
  return TwoDigits(time.hours % 100) + L":" + TwoDigits(time.minutes % 100) + L":" +
         TwoDigits(time.seconds % 100);
}

ActivityLog::ActivityLog(Clock clock) : clock_(std::move(clock)) {}

bool ActivityLog::WriteLog(std::wstring message, bool newLine) {
  if (text_.size() > kCap) text_.clear();
  if (newLine) text_ += L"\r\n";
  const size_t start = text_.size();
  text_ += FormatTimeOfDay(clock_());
  text_ += L"  ";
  text_ += message;
  if (listener_) listener_(text_, std::wstring_view(text_).substr(start));
  return true;
}

}  // namespace quorvel
