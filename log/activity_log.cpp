#include "log/activity_log.hpp"

#include <ctime>
#include <cwchar>

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

std::wstring FormatTimeOfDay(const TimeOfDay& time) {
  wchar_t buffer[16];
  std::swprintf(buffer, sizeof buffer / sizeof buffer[0], L"%02d:%02d:%02d", time.hours % 100,
                time.minutes % 100, time.seconds % 100);
  return buffer;
}

ActivityLog::ActivityLog(Clock clock) : clock_(std::move(clock)) {}

bool ActivityLog::WriteLog(std::wstring message, bool newLine) {
  if (text_.size() > kCap) text_.clear();
  if (newLine) text_ += L"\r\n";
  text_ += FormatTimeOfDay(clock_());
  text_ += L"  ";
  text_ += message;
  if (listener_) listener_(text_);
  return true;
}

}  // namespace quorvel
