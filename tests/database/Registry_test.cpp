#include "database/Registry.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace vnpp::database {
namespace {

const char* const kKey = "HKEY_LOCAL_MACHINE\\Software\\Ostrel Corporation\\Varnex\\Settings";

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
  EXPECT_EQ(TRegistryFile::Parse(utf16).ReadValue(kKey, "ODBC_User"), "b\xC3\xA9n");
  EXPECT_EQ(TRegistryFile::Parse("REGEDIT4\n[" + std::string(kKey) + "]\n\"a\"=\"1\"\n")
                .ReadValue(kKey, "A"),
            "1");
  EXPECT_THROW(TRegistryFile::Parse("[" + std::string(kKey) + "]\n\"a\"=\"1\"\n"), ERegistryError);
  EXPECT_THROW(TRegistryFile::Parse(""), ERegistryError);
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
