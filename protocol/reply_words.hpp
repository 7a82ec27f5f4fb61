// The words of an update reply, shared by the server that writes them and the client that
// reads them: the marker that the status word follows, and the status words. Each is ASCII and
// spelt once, as bytes for the server and as wide text for the client.
#pragma once

#include <cstddef>

namespace quorvel::protocol {

// One ASCII spelling, as bytes and as wide text.
template <std::size_t N>
struct Word {
  char text[N]{};
  wchar_t wide[N]{};
  consteval Word(const char (&ascii)[N]) {
    for (std::size_t i = 0; i < N; ++i) {
      text[i] = ascii[i];
      wide[i] = static_cast<wchar_t>(ascii[i]);
    }
  }
};

// The text that follows it in the reply body is the server's status word.
inline constexpr Word kReplyMarker("<!-- OSKEL_START_HTML -->");

// The status words the client acts on; "denied" is also the client's own word for a reply it
// cannot use.
inline constexpr Word kFound("found");
inline constexpr Word kNotFound("notfound");
inline constexpr Word kIncorrect("incorrect");
inline constexpr Word kDenied("denied");

// The status words as values, for those that keep one reply per word.
enum class Status { kFound, kNotFound, kIncorrect, kDenied };
inline constexpr Status kStatuses[] = {Status::kFound, Status::kNotFound, Status::kIncorrect,
                                       Status::kDenied};

constexpr const char* StatusText(Status status) {
  switch (status) {
    case Status::kFound:
      return kFound.text;
    case Status::kNotFound:
      return kNotFound.text;
    case Status::kIncorrect:
      return kIncorrect.text;
    case Status::kDenied:
      break;
  }
  return kDenied.text;
}

}  // namespace quorvel::protocol
