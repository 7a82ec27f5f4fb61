// The DNS side's pieces that need no primary: the TCP framing of an UPDATE and the key file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "server/dns_update.hpp"

namespace {

// The length goes in two bytes: 65,535 is the most they say; past it the prefix would wrap
// (65,536 framed as 0) and the primary would read garbage as the next message.
TEST(FrameForTcp, TheLengthComesFirstAndAMessageTooLongForItIsRefused) {
  std::string framed, error;
  ASSERT_TRUE(qserver::FrameForTcp({0x12, 0x34, 0x56}, framed, error));
  EXPECT_EQ(framed, std::string("\x00\x03\x12\x34\x56", 5));
  const std::vector<unsigned char> largest(65535, 'x');
  ASSERT_TRUE(qserver::FrameForTcp(largest, framed, error));
  EXPECT_EQ(framed.size(), 65537u);
  EXPECT_EQ(framed.substr(0, 2), "\xff\xff");
  framed = "untouched";
  for (std::size_t size : {std::size_t{65536}, std::size_t{70000}}) {
    EXPECT_FALSE(qserver::FrameForTcp(std::vector<unsigned char>(size, 'x'), framed, error)) << size;
    EXPECT_NE(error.find(std::to_string(size) + " bytes"), std::string::npos) << error;
  }
  EXPECT_EQ(framed, "untouched");
}

TEST(LoadTsigKey, ReadsTheKeyAsTsigKeygenWritesItAndRefusesAnyOther) {
  const std::filesystem::path path =
      std::filesystem::temp_directory_path() / ("quorvel-key-test-" + std::to_string(::getpid()) + ".key");
  const auto load = [&](const std::string& text, qserver::TsigKey& key) {
    std::ofstream(path) << text;
    std::string error;
    const bool ok = qserver::LoadTsigKey(path.string(), key, error);
    EXPECT_EQ(ok, error.empty()) << error;
    return ok;
  };
  qserver::TsigKey key;
  ASSERT_TRUE(
      load("key \"quorvel-update\" {\n\talgorithm hmac-sha256;\n\tsecret \"c2VjcmV0+/8=\";\n};\n", key));
  EXPECT_EQ(key.name, "quorvel-update");
  EXPECT_EQ(key.secret, "c2VjcmV0+/8=");
  EXPECT_FALSE(load("key \"k\" { algorithm hmac-md5; secret \"c2VjcmV0\"; };", key));
  EXPECT_FALSE(load("key \"k\" { algorithm hmac-sha256; };", key));
  EXPECT_FALSE(load("nothing here", key));
  // A secret that is not base64 would fail only at the first push.
  EXPECT_FALSE(load("key \"k\" { algorithm hmac-sha256; secret \"c2VjcmV0+/=\"; };", key));
  // Base64 whose padded end carries bits: refused as ldns would refuse it.
  EXPECT_FALSE(load("key \"k\" { algorithm hmac-sha256; secret \"AAAsAzi=\"; };", key));
  EXPECT_FALSE(load("key \"k\" { algorithm hmac-sha256; secret \"AR==\"; };", key));
  EXPECT_TRUE(load("key \"k\" { algorithm hmac-sha256; secret \"AAAsAzg=\"; };", key));
  // A name with an empty label, as ldns could not read it.
  EXPECT_FALSE(load("key \".k\" { algorithm hmac-sha256; secret \"c2VjcmV0\"; };", key));
  EXPECT_FALSE(load("key \"a..k\" { algorithm hmac-sha256; secret \"c2VjcmV0\"; };", key));
  EXPECT_TRUE(load("key \"k.example.\" { algorithm hmac-sha256; secret \"c2VjcmV0\"; };", key));
  EXPECT_EQ(key.name, "k.example");
  std::filesystem::remove(path);
  std::string error;
  EXPECT_FALSE(qserver::LoadTsigKey(path.string(), key, error));
  EXPECT_NE(error.find("cannot read"), std::string::npos) << error;
}

}  // namespace
