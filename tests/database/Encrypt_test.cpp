#include "database/Encrypt.h"

#include <gtest/gtest.h>

#include <sstream>

#include "database/Registry.h"

namespace vnpp::database {
namespace {

std::string Encipher(const std::string& clear) {
  std::string out(clear.size(), '\0');
  TEncrypt().EncryptBuffer(reinterpret_cast<const std::uint8_t*>(clear.data()),
                           reinterpret_cast<std::uint8_t*>(out.data()), clear.size());
  return out;
}

TEST(TEncrypt, DeciphersWithTheRunningKeyOverTheEncipheredBytes) {
  // Worked by hand from the key 45019 and the update (K + c) * 39157 + 61843.
  const std::uint8_t source[] = {0x00, 0x41, 0xFF, 0x3A};
  std::uint8_t dest[4] = {};
  TEncrypt().DecryptBuffer(source, dest, 4);
  EXPECT_EQ(std::vector<std::uint8_t>(dest, dest + 4),
            (std::vector<std::uint8_t>{0xAF, 0x07, 0x22, 0x17}));
  // Deciphering in place gives the same.
  std::uint8_t inPlace[] = {0x00, 0x41, 0xFF, 0x3A};
  TEncrypt().DecryptBuffer(inPlace, inPlace, 4);
  EXPECT_EQ(std::vector<std::uint8_t>(inPlace, inPlace + 4),
            std::vector<std::uint8_t>(dest, dest + 4));
}

TEST(TVEncrypt, TakesThePasswordUpToTheFirstColon) {
  const std::string filler = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  const std::string password29(29, 'p');
  struct Case {
    std::string Clear;  // before enciphering; cut to at most 30 bytes
    std::string Password;
    std::string Rest;
  };
  const Case cases[] = {
      {"secret:" + filler, "secret", filler.substr(0, 19)},
      {":" + filler, "", filler.substr(0, 19)},
      {password29 + ":", password29, ""},
      {"a:b:c" + filler, "a", "b:c" + filler.substr(0, 16)},
      {std::string(30, 'x'), "", std::string(19, 'x')},
      // Shorter credentials decipher only the bytes they hold.
      {"ab:", "ab", ""},
      {"ab", "", "ab"},
      {"", "", ""},
  };
  for (const Case& c : cases) {
    const std::string clear = c.Clear.substr(0, 30);
    const auto credential = TVEncrypt().DecodeCredential(Encipher(clear) + "ignored beyond 30");
    if (clear.size() < 30) {
      const auto shortOne = TVEncrypt().DecodeCredential(Encipher(clear));
      EXPECT_EQ(shortOne.Password, c.Password) << c.Clear;
      EXPECT_EQ(shortOne.Rest, c.Rest) << c.Clear;
    } else {
      EXPECT_EQ(credential.Password, c.Password) << c.Clear;
      EXPECT_EQ(credential.Rest, c.Rest) << c.Clear;
    }
  }
}

TEST(TVEncrypt, EncodedCredentialDecodesToThePassword) {
  for (const std::string& password :
       std::vector<std::string>{"", "secret", "with blank and $;=", std::string(29, 'z')}) {
    const std::string credential = TVEncrypt().EncodeCredential(password);
    ASSERT_EQ(credential.size(), 30u);
    EXPECT_EQ(TVEncrypt().DecodeCredential(credential).Password, password);
  }
  EXPECT_THROW(TVEncrypt().EncodeCredential(std::string(30, 'z')), common::EConvertError);
  EXPECT_THROW(TVEncrypt().EncodeCredential("a:b"), common::EConvertError);
}

TEST(Base64, DecodesWithSeparatorsAndPaddingCompletion) {
  std::string bytes;
  for (int i = 0; i < 30; ++i) bytes += static_cast<char>(i * 37 + 5);
  const std::string text = Base64Encode(bytes);
  ASSERT_EQ(text.size(), 40u);
  std::string broken = text;
  broken.insert(20, "\r\n");
  broken.insert(10, " \t");
  std::string allSeparators = text;
  allSeparators.insert(4, " $()[]{},;:-_\\*\"'\t\n\r");

  struct Case {
    std::string Text;
    std::string Bytes;
  };
  const Case cases[] = {
      {text, bytes},        {broken, bytes},     {allSeparators, bytes}, {"", ""},
      {"QQ", "A"},          {"QUI", "AB"},       {"QUI=", "AB"},         {"QUJD", "ABC"},
      {"QUJD\nRA", "ABCD"}, {"QQ==QUI=", "AAB"},
  };
  for (const Case& c : cases) EXPECT_EQ(Base64Decode(c.Text), c.Bytes) << c.Text;

  for (const std::string& bad :
       std::vector<std::string>{"QUJD!", "QU.J", "QUJ\x80", std::string("QU\0J", 4)}) {
    try {
      Base64Decode(bad);
      ADD_FAILURE() << bad << " accepted";
    } catch (const common::EConvertError& e) {
      EXPECT_STREQ(e.what(), "Input is not an valid MIME Base 64 Format.");
    }
  }
}

TEST(Base64, EncodingRoundTripsEveryLength) {
  std::string bytes;
  for (int n = 0; n <= 31; ++n) {
    EXPECT_EQ(Base64Decode(Base64Encode(bytes)), bytes) << n;
    EXPECT_EQ(Base64Encode(bytes).size() % 4, 0u);
    bytes += static_cast<char>(255 - n * 7);
  }
  EXPECT_EQ(Base64Encode("ABCD"), "QUJDRA==");
}

std::string LineValue(const std::string& output, const std::string& prefix) {
  std::istringstream in(output);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(prefix, 0) == 0) return line.substr(prefix.size());
  }
  return "<missing " + prefix + ">";
}

TEST(RunEncodePassword, PrintsBothFormsOrRefusesWhatCannotBeStored) {
  struct Case {
    std::string Input;
    int Result;
    std::string Password;   // decoded from both outputs when Result is 0
    std::string ErrorPart;  // in the message when Result is not 0
  };
  const Case cases[] = {
      {"secret\n", 0, "secret", ""},
      {"secret", 0, "secret", ""},
      {"pw\r\nsecond line\n", 0, "pw", ""},
      {std::string(29, 'q') + "\n", 0, std::string(29, 'q'), ""},
      {"\n", 0, "", ""},
      {std::string(30, 'q') + "\n", 1, "", "29"},
      {"a:b\n", 1, "", "colon"},
      {":\n", 1, "", "colon"},
      {"", 1, "", "No password"},
  };
  for (const Case& c : cases) {
    std::istringstream in(c.Input);
    std::ostringstream out, err;
    ASSERT_EQ(RunEncodePassword(in, out, err), c.Result) << c.Input;
    if (c.Result != 0) {
      EXPECT_NE(err.str().find(c.ErrorPart), std::string::npos) << err.str();
      EXPECT_EQ(out.str(), "");
      continue;
    }
    const std::string base64 = LineValue(out.str(), "ODBC Password=");
    EXPECT_EQ(TVEncrypt().DecodeCredential(Base64Decode(base64)).Password, c.Password);
    // The registry line, put under the settings key, reads back as the raw credential.
    const TRegistryFile registry = TRegistryFile::Parse(
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\Ostrel Corporation\\Varnex\\Settings]\n" +
        out.str());
    const auto raw = registry.ReadValue(
        "HKEY_LOCAL_MACHINE\\Software\\Ostrel Corporation\\Varnex\\Settings", "ODBC_Pass");
    ASSERT_TRUE(raw.has_value());
    EXPECT_EQ(*raw, Base64Decode(base64));
    EXPECT_EQ(err.str(), "");
  }
}

}  // namespace
}  // namespace vnpp::database
