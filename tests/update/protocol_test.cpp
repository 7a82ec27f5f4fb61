#include "update/protocol.hpp"

#include <gtest/gtest.h>

using quorvelmod::BuildHttpRequest;
using quorvelmod::ParseServerReply;

namespace {
const std::wstring M = quorvelmod::kReplyMarker;
const std::wstring kHeaders = L"HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n";
}  // namespace

TEST(BuildHttpRequest, GetCarriesDataInTheRequestLineAndEndsWithEmptyLine) {
  EXPECT_EQ(BuildHttpRequest(L"h", L"?ip_key=x", L"/update", L"GET"),
            L"GET /update?ip_key=x HTTP/1.0\r\nHost: h\r\n\r\n");
  // The identifier goes out as typed: spaces and all, nothing escaped.
  EXPECT_EQ(BuildHttpRequest(L"srv", L"?ip_key= a b&c ", L"/update", L"GET"),
            L"GET /update?ip_key= a b&c  HTTP/1.0\r\nHost: srv\r\n\r\n");
}

TEST(BuildHttpRequest, AnyOtherMethodIsAFormPostWithTheDataAsBody) {
  EXPECT_EQ(BuildHttpRequest(L"h", L"a=1", L"/p", L"POST"),
            L"POST /p HTTP/1.0\r\nHost: h\r\n"
            L"Content-Type: application/x-www-form-urlencoded\r\n"
            L"Content-length: 3\r\n\r\na=1");
  // The method test is exact: "get" is not "GET".
  EXPECT_EQ(BuildHttpRequest(L"h", L"", L"/p", L"get"),
            L"POST /p HTTP/1.0\r\nHost: h\r\n"
            L"Content-Type: application/x-www-form-urlencoded\r\n"
            L"Content-length: 0\r\n\r\n");
}

TEST(ParseServerReply, WordAfterTheMarkerWithSpacesTrimmed) {
  EXPECT_EQ(ParseServerReply(kHeaders + L"<html>" + M + L"found"), L"found");
  EXPECT_EQ(ParseServerReply(kHeaders + M + L"  notfound  "), L"notfound");
  EXPECT_EQ(ParseServerReply(L"  " + M + L"incorrect  "), L"incorrect");
  // Only spaces are trimmed: a tab stays and the word matches nothing.
  EXPECT_EQ(ParseServerReply(M + L"found\t"), L"found\t");
  // Case is kept as sent.
  EXPECT_EQ(ParseServerReply(M + L"Found"), L"Found");
}

TEST(ParseServerReply, LineEndsAreRemovedBeforeTheSplit) {
  EXPECT_EQ(ParseServerReply(kHeaders + M + L"found\r\n</body>"), L"found</body>");
  EXPECT_EQ(ParseServerReply(L"HTTP/1.0 200 OK\n\n" + M + L"fo\r\nund\n"), L"found");
  // A marker broken by a line end is whole again once line ends are gone.
  EXPECT_EQ(ParseServerReply(L"<!-- OSKEL_START\r\n_HTML -->found"), L"found");
}

TEST(ParseServerReply, TextBetweenTwoMarkers) {
  EXPECT_EQ(ParseServerReply(M + L"found" + M + L"more text"), L"found");
  EXPECT_EQ(ParseServerReply(M + L" incorrect " + M + M + L"x"), L"incorrect");
}

TEST(ParseServerReply, UnusableRepliesAreDenied) {
  EXPECT_EQ(ParseServerReply(L""), L"denied");
  EXPECT_EQ(ParseServerReply(kHeaders + L"found"), L"denied");                // no marker
  EXPECT_EQ(ParseServerReply(L"<!-- oskel_start_html -->found"), L"denied");  // case matters
  EXPECT_EQ(ParseServerReply(kHeaders + M), L"denied");                       // marker alone
  EXPECT_EQ(ParseServerReply(M + L"    "), L"denied");                        // spaces only
  EXPECT_EQ(ParseServerReply(M + L"\r\n  \r\n"), L"denied");
  EXPECT_EQ(ParseServerReply(M + M + L"found"), L"denied");  // empty first piece
  EXPECT_EQ(ParseServerReply(M + L"overloaded"), L"denied");
  EXPECT_EQ(ParseServerReply(M + L"server overload, retry"), L"denied");
  EXPECT_EQ(ParseServerReply(M + L"denied"), L"denied");
}

TEST(ParseServerReply, OverloadCountsOnlyInTheWordItself) {
  EXPECT_EQ(ParseServerReply(L"overload " + M + L"found"), L"found");
  EXPECT_EQ(ParseServerReply(M + L"found" + M + L"overload"), L"found");
  EXPECT_EQ(ParseServerReply(M + L"Overload"), L"Overload");
}
