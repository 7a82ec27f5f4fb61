// Temporary: a settings store in files under $XDG_CONFIG_HOME until the real one lands.
#include <cstdlib>
#include <fstream>
#include <sstream>
#include "common/text.hpp"
#include "settings/settings.hpp"
namespace quorvelmod {
namespace {
std::string PathOf(const std::wstring& k, const std::wstring& n) {
  std::string name;
  for (wchar_t c : k + L"|" + n) name += std::to_string(static_cast<int>(c)) + "_";
  return std::string(std::getenv("XDG_CONFIG_HOME")) + "/" + name;
}
}
bool SaveRegString(RegRoot, const std::wstring& k, const std::wstring& n, const std::wstring& v) {
  std::ofstream(PathOf(k, n)) << quorvel::ToAnsi(v.empty() ? L" " : v); return true; }
std::wstring GetRegString(RegRoot, const std::wstring& k, const std::wstring& n, const std::wstring& d) {
  std::ifstream in(PathOf(k, n)); if (!in) return d;
  std::stringstream s; s << in.rdbuf(); return quorvel::FromAnsi(s.str()); }
}
