#include "database/Registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "database/Encrypt.h"

namespace vnpp::database {
namespace {

const char* const kKey = kSettingsKey;

TEST(TRegistryFile, ReadsStringAndBinaryValuesWithoutRegardToCase) {
  const std::string text =
      "Windows Registry Editor Version 5.00\r\n"
      "\r\n"
      "; comment\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Other]\r\n"
      "\"ODBC_Source\"=\"wrong\"\r\n"
      "\r\n"
      "[hkey_local_machine\\SOFTWARE\\Ostrel Corporation\\Varnex\\Settings]\r\n"
      "\"ODBC_Source\"=\"Driver=SQLite3;Database=C:\\\\data\\\\vn.db\"\r\n"
      "\"odbc_user\"=\"say \\\"hi\\\"\"\r\n"
      "\"ODBC_Pass\"=hex:1f,a0,00,\\\r\n"
      "  ff,3A\r\n"
      "\"Count\"=dword:0000000a\r\n"
      "\"Multi\"=hex(7):41,00,00,00\r\n"
      "\"Gone\"=\"x\"\r\n"
      "\"Gone\"=-\r\n"
      "@=\"default\"\r\n";
  const TRegistryFile file = TRegistryFile::Parse(text);
  EXPECT_TRUE(file.HasKey(kKey));
  EXPECT_TRUE(
      file.HasKey("\\hkey_local_machine\\software\\ostrel corporation\\varnex\\settings\\"));
  EXPECT_FALSE(file.HasKey("HKEY_LOCAL_MACHINE\\Software\\Ostrel Corporation"));

  struct Case {
    const char* Name;
    std::optional<std::string> Value;
  };
  const Case cases[] = {
      {"ODBC_Source", "Driver=SQLite3;Database=C:\\data\\vn.db"},
      {"ODBC_USER", "say \"hi\""},
      {"odbc_pass", std::string("\x1f\xa0\x00\xff\x3a", 5)},
      {"Count", "10"},
      {"Multi", std::string("A\0\0\0", 4)},
      {"Gone", std::nullopt},
      {"", "default"},
      {"Missing", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(file.ReadValue(kKey, c.Name), c.Value) << c.Name;
  EXPECT_EQ(file.ReadValue("HKEY_LOCAL_MACHINE\\Software\\Other", "ODBC_Source"), "wrong");
}

TEST(TRegistryFile, ReadsUtf16ExportsAndOldHeaders) {
  const std::string ascii =
      "Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\Software\\Ostrel "
      "Corporation\\Varnex\\Settings]\r\n\"ODBC_User\"=\"b\xC3\xA9n\"\r\n";
  std::string utf16 = "\xFF\xFE";
  // "é" (U+00E9) is one UTF-16 unit; everything else is ASCII.
  for (size_t i = 0; i < ascii.size(); ++i) {
    if (ascii.compare(i, 2, "\xC3\xA9") == 0) {
      utf16 += std::string("\xE9\x00", 2);
      ++i;
    } else {
      utf16 += ascii[i];
      utf16 += '\0';
    }
  }
  EXPECT_EQ(TRegistryFile::Parse(utf16).ReadValue(kKey, "ODBC_User"), "b\xE9n");
  EXPECT_EQ(TRegistryFile::Parse("REGEDIT4\n[" + std::string(kKey) + "]\n\"a\"=\"1\"\n")
                .ReadValue(kKey, "A"),
            "1");
  EXPECT_THROW(TRegistryFile::Parse("[" + std::string(kKey) + "]\n\"a\"=\"1\"\n"), ERegistryError);
  EXPECT_THROW(TRegistryFile::Parse(""), ERegistryError);
}

// Writes text as a UTF-16LE export with a byte order mark, each byte one code unit.
std::string Utf16Export(const std::string& text) {
  std::string out = "\xFF\xFE";
  for (char c : text) {
    out += c;
    out += '\0';
  }
  return out;
}

TEST(TRegistryFile, Utf16ExportGivesEachCodeUnitAsOneByte) {
  struct Case {
    std::string Units;  // UTF-16LE code units of the value's text
    std::string Bytes;
  };
  const Case cases[] = {
      {std::string("b\0\xE9\0n\0", 6), "b\xE9n"},
      {std::string("\x80\0\xFF\0", 4), "\x80\xFF"},
      // The Windows-1252 characters of 0x80 to 0x9F come back as those bytes.
      {std::string("\xAC\x20\x78\x01\x22\x21", 6), "\x80\x9F\x99"},
      // Anything else has no 8-bit form.
      {std::string("\x2D\x4E\x3D\xD8\x00\xDE", 6), "???"},
  };
  for (const Case& c : cases) {
    const std::string head = Utf16Export("Windows Registry Editor Version 5.00\r\n[" +
                                         std::string(kKey) + "]\r\n\"ODBC_User\"=\"");
    const std::string tail = Utf16Export("\"\r\n").substr(2);
    EXPECT_EQ(TRegistryFile::Parse(head + c.Units + tail).ReadValue(kKey, "ODBC_User"), c.Bytes)
        << c.Bytes;
  }
}

TEST(TRegistryFile, CredentialWithHighBytesSurvivesAUtf16StringValue) {
  // The password holds bytes 0x80 to 0xFF; so does its enciphered credential.
  const std::string password = "p\xE9\x80\xFFw\xA7";
  std::string clear = password + ":" + std::string(30 - password.size() - 1, '\xB5');
  std::string credential(30, '\0');
  TEncrypt().EncryptBuffer(reinterpret_cast<const std::uint8_t*>(clear.data()),
                           reinterpret_cast<std::uint8_t*>(credential.data()), 30);
  ASSERT_NE(std::find_if(credential.begin(), credential.end(),
                         [](char c) { return static_cast<unsigned char>(c) >= 0x80; }),
            credential.end());
  ASSERT_EQ(credential.find_first_of(std::string("\r\n\0", 3)), std::string::npos);
  std::string quoted;
  for (char c : credential) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  const std::string text =
      Utf16Export("Windows Registry Editor Version 5.00\r\n\r\n[" + std::string(kKey) +
                  "]\r\n\"ODBC_Pass\"=\"" + quoted + "\"\r\n");
  const auto stored = TRegistryFile::Parse(text).ReadValue(kKey, "ODBC_Pass");
  ASSERT_TRUE(stored);
  EXPECT_EQ(*stored, credential);
  EXPECT_EQ(TVEncrypt().DecodeCredential(*stored).Password, password);
}

TEST(TRegistryFile, LongHexValueOverManyContinuationLines) {
  constexpr size_t kLines = 200000;
  std::string text = "REGEDIT4\r\n[" + std::string(kKey) + "]\r\n\"ODBC_Pass\"=hex:";
  for (size_t i = 0; i < kLines; ++i) text += "3a,\\\r\n  ";
  text += "ff\r\n\"After\"=\"x\"\r\n";
  const TRegistryFile file = TRegistryFile::Parse(text);
  EXPECT_EQ(file.ReadValue(kKey, "ODBC_Pass"), std::string(kLines, ':') + "\xFF");
  EXPECT_EQ(file.ReadValue(kKey, "After"), "x");
}

TEST(TRegistryFile, RefusesAFileThatIsNotRegularOrTooLarge) {
  const std::string dir =
      std::filesystem::temp_directory_path() / ("vnpp-reg-" + std::to_string(::getpid()));
  std::filesystem::create_directory(dir);
  const std::string fifo = dir + "/fifo.reg";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string big = dir + "/big.reg";
  std::ofstream(big) << "REGEDIT4\r\n";
  std::filesystem::resize_file(big, kMaxRegistryFileSize + 1);  // sparse
  for (const std::string& path : {fifo, std::string("/dev/zero"), dir, big}) {
    try {
      TRegistryFile::Load(path);
      ADD_FAILURE() << path << " was read";
    } catch (const ERegistryError& e) {
      EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
    }
  }
  std::filesystem::resize_file(big, kMaxRegistryFileSize);
  EXPECT_FALSE(TRegistryFile::Load(big).HasKey(kKey));
  std::filesystem::remove_all(dir);
}

TEST(TRegistryFile, MissingFileHoldsNoKeysAndTheEnvironmentChoosesThePath) {
  EXPECT_FALSE(TRegistryFile::Load("/nonexistent/hklm.reg").HasKey(kKey));
  ::unsetenv("VNPPSVC_REGISTRY");
  EXPECT_EQ(TRegistryFile::DefaultPath(), "/etc/vnppsvc/hklm.reg");
  ::setenv("VNPPSVC_REGISTRY", "/tmp/other.reg", 1);
  EXPECT_EQ(TRegistryFile::DefaultPath(), "/tmp/other.reg");
  ::unsetenv("VNPPSVC_REGISTRY");
}

}  // namespace
}  // namespace vnpp::database
