#include <gtest/gtest.h>

#include "kit/pairing/AuthCrypto.h"
#include "kit/pairing/PairingURL.h"

namespace brindlet {
namespace {

PairingURL sampleLink(std::string name = "Studio") {
  Bytes fingerprint(32);
  Bytes token(16);
  for (std::size_t i = 0; i < fingerprint.size(); ++i) fingerprint[i] = static_cast<std::uint8_t>(0xF0 + i * 7);
  for (std::size_t i = 0; i < token.size(); ++i) token[i] = static_cast<std::uint8_t>(0xFB - i * 3);
  return PairingURL{*UUID::parse("1B4E28BA-2FA1-11D2-883F-0016D3CCA427"), std::move(name), fingerprint, token};
}

std::string b64(const Bytes& bytes) { return AuthCrypto::base64URLEncode(bytes); }

// A link with the given items after "nolu://pair?".
std::string linkWith(const std::string& query, const std::string& prefix = "nolu://pair?") { return prefix + query; }

std::string validQuery() {
  PairingURL link = sampleLink();
  return "v=1&h=" + link.hostID.uuidString() + "&n=Studio&fp=" + b64(link.fingerprint) + "&t=" + b64(link.token);
}

TEST(PairingURL, TextFormHasTheItemsInOrderAndParsesBack) {
  PairingURL link = sampleLink();
  std::string text = link.url();
  EXPECT_EQ(text, "nolu://pair?v=1&h=1B4E28BA-2FA1-11D2-883F-0016D3CCA427&n=Studio&fp=" + b64(link.fingerprint) +
                      "&t=" + b64(link.token));
  EXPECT_EQ(b64(link.fingerprint).size(), 43u);
  EXPECT_EQ(b64(link.token).size(), 22u);
  EXPECT_EQ(PairingURL::parse(text), link);
}

TEST(PairingURL, NamesComeBackUnchanged) {
  for (std::string name :
       {"", "Anna's MacBook Pro", "R&D + QA = 100%", "a=b&c", "Büro-Mac ☕", "名前 🧑‍💻", "#?/:@"}) {
    PairingURL link = sampleLink(name);
    auto back = PairingURL::parse(link.url());
    ASSERT_TRUE(back) << link.url();
    EXPECT_EQ(back->hostName, name);
    EXPECT_EQ(*back, link);
  }
}

TEST(PairingURL, SchemesAreComparedWithoutCaseButTheHostIsNot) {
  EXPECT_TRUE(PairingURL::parse(linkWith(validQuery(), "NOLU://pair?")));
  EXPECT_TRUE(PairingURL::parse(linkWith(validQuery(), "brindlet://pair?")));
  EXPECT_TRUE(PairingURL::parse(linkWith(validQuery(), "Brindlet://pair?")));
  EXPECT_FALSE(PairingURL::parse(linkWith(validQuery(), "nolu://Pair?")));
  EXPECT_FALSE(PairingURL::parse(linkWith(validQuery(), "https://pair?")));
  EXPECT_EQ(PairingURL::acceptedSchemes(), (std::set<std::string>{"nolu", "brindlet"}));
}

TEST(PairingURL, PaddedValuesLowerCaseIDsAndOtherItemOrdersParse) {
  PairingURL link = sampleLink();
  std::string id = link.hostID.uuidString();
  std::string lower;
  for (char c : id) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::string fp = b64(link.fingerprint) + "=";
  std::string t = b64(link.token) + "==";
  auto parsed = PairingURL::parse("nolu://pair?t=" + t + "&x=y&fp=" + fp + "&n=Studio&h=" + lower + "&v=1&v=2");
  ASSERT_TRUE(parsed);
  EXPECT_EQ(*parsed, link);
  // Of repeated items the first counts.
  EXPECT_FALSE(PairingURL::parse("nolu://pair?v=2&v=1&h=" + id + "&n=S&fp=" + fp + "&t=" + t));
  auto named = PairingURL::parse("nolu://pair?v=1&h=" + id + "&n=First&n=Second&fp=" + fp + "&t=" + t);
  ASSERT_TRUE(named);
  EXPECT_EQ(named->hostName, "First");
}

TEST(PairingURL, MalformedLinksYieldNothing) {
  PairingURL link = sampleLink();
  std::string id = link.hostID.uuidString();
  std::string fp = b64(link.fingerprint);
  std::string t = b64(link.token);
  std::string fp31 = b64(Bytes(31, 1)), fp33 = b64(Bytes(33, 1));
  std::string t15 = b64(Bytes(15, 1)), t17 = b64(Bytes(17, 1));
  const std::string cases[] = {
      "",
      "pair?v=1",
      "nolu:pair?v=1&h=" + id + "&n=S&fp=" + fp + "&t=" + t,
      "nolu://pair?v=2&h=" + id + "&n=S&fp=" + fp + "&t=" + t,
      "nolu://pair?h=" + id + "&n=S&fp=" + fp + "&t=" + t,
      "nolu://pair?v=1&h=" + id + "&fp=" + fp + "&t=" + t,
      "nolu://pair?v=1&h=" + id + "&n&fp=" + fp + "&t=" + t,
      "nolu://pair?v=1&h=not-a-uuid&n=S&fp=" + fp + "&t=" + t,
      "nolu://pair?v=1&n=S&fp=" + fp + "&t=" + t,
      "nolu://pair?v=1&h=" + id + "&n=S&fp=" + fp31 + "&t=" + t,
      "nolu://pair?v=1&h=" + id + "&n=S&fp=" + fp33 + "&t=" + t,
      "nolu://pair?v=1&h=" + id + "&n=S&t=" + t,
      "nolu://pair?v=1&h=" + id + "&n=S&fp=" + fp + "&t=" + t15,
      "nolu://pair?v=1&h=" + id + "&n=S&fp=" + fp + "&t=" + t17,
      "nolu://pair?v=1&h=" + id + "&n=S&fp=" + fp,
      "nolu://pair?v=1&h=" + id + "&n=S&fp=" + fp + "&t=" + t.substr(0, 21) + "*",
      "nolu://pair?v=1&h=" + id + "&n=S%2&fp=" + fp + "&t=" + t,
      "nolu://pair?v=1&h=" + id + "&n=%FF%FE&fp=" + fp + "&t=" + t,
      "nolu://pair?v=1&h=" + id + "&n=two words&fp=" + fp + "&t=" + t,
      "nolu://user@pair?v=1&h=" + id + "&n=S&fp=" + fp + "&t=" + t,
      "nolu://pair:8080?v=1&h=" + id + "&n=S&fp=" + fp + "&t=" + t,
  };
  for (const auto& text : cases) EXPECT_FALSE(PairingURL::parse(text)) << text;
}

TEST(PairingURL, QueryValuesAreDecodedAndPlusIsItself) {
  auto components = URLComponents::parse("nolu://pair?a=1+2&b=%2B&c&d=&a=3");
  ASSERT_TRUE(components);
  EXPECT_EQ(pairingQueryValue("a", *components), std::optional<std::string>("1+2"));
  EXPECT_EQ(pairingQueryValue("b", *components), std::optional<std::string>("+"));
  EXPECT_EQ(pairingQueryValue("c", *components), std::nullopt);
  EXPECT_EQ(pairingQueryValue("d", *components), std::optional<std::string>(""));
  EXPECT_EQ(pairingQueryValue("e", *components), std::nullopt);
}

}  // namespace
}  // namespace brindlet
