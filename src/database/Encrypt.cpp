#include "database/Encrypt.h"

#include <algorithm>
#include <istream>
#include <ostream>
#include <random>
#include <string_view>

#include "database/Registry.h"

namespace vnpp::database {
namespace {

constexpr std::size_t kRestLength = 19;
constexpr const char* kBase64Alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr const char* kBase64Separators = " $()[]{},;:-_\\*\"'\t\n\r";
constexpr const char* kInvalidBase64 = "Input is not an valid MIME Base 64 Format.";

std::uint32_t NextKey(std::uint32_t k, std::uint8_t cipherByte, std::uint32_t c1,
                      std::uint32_t c2) {
  return (k + cipherByte) * c1 + c2;
}

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

bool IsSeparator(char c) {
  return c != '\0' && std::string_view(kBase64Separators).find(c) != std::string_view::npos;
}

// Emits the bytes of a group of up to four symbols; a symbol of -1 is padding.
void EmitGroup(const int (&group)[4], int count, std::string& out) {
  int symbols = 0;
  while (symbols < count && group[symbols] >= 0) ++symbols;
  std::uint32_t bits = 0;
  for (int i = 0; i < 4; ++i)
    bits = (bits << 6) | static_cast<std::uint32_t>(i < symbols ? group[i] : 0);
  // Two symbols carry one byte, three carry two, four carry three.
  if (symbols >= 2) out += static_cast<char>((bits >> 16) & 0xFF);
  if (symbols >= 3) out += static_cast<char>((bits >> 8) & 0xFF);
  if (symbols >= 4) out += static_cast<char>(bits & 0xFF);
}

}  // namespace

void TEncrypt::DecryptBuffer(const std::uint8_t* source, std::uint8_t* dest,
                             std::size_t count) const {
  auto k = static_cast<std::uint32_t>(key);
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t cipher = source[i];
    dest[i] = static_cast<std::uint8_t>(cipher ^ ((k >> 8) & 0xFF));
    k = NextKey(k, cipher, static_cast<std::uint32_t>(const1), static_cast<std::uint32_t>(const2));
  }
}

void TEncrypt::EncryptBuffer(const std::uint8_t* source, std::uint8_t* dest,
                             std::size_t count) const {
  auto k = static_cast<std::uint32_t>(key);
  for (std::size_t i = 0; i < count; ++i) {
    const auto cipher = static_cast<std::uint8_t>(source[i] ^ ((k >> 8) & 0xFF));
    dest[i] = cipher;
    k = NextKey(k, cipher, static_cast<std::uint32_t>(const1), static_cast<std::uint32_t>(const2));
  }
}

TVEncrypt::TCredential TVEncrypt::DecodeCredential(const std::string& encoded) const {
  // Positions beyond a short credential count as absent, so no colon is invented there.
  const std::size_t length = std::min(encoded.size(), kCredentialLength);
  std::string clear(length, '\0');
  DecryptBuffer(reinterpret_cast<const std::uint8_t*>(encoded.data()),
                reinterpret_cast<std::uint8_t*>(clear.data()), length);
  TCredential result;
  const std::size_t colon = clear.find(':');
  if (colon == std::string::npos) {
    result.Rest = clear.substr(0, kRestLength);
  } else {
    result.Password = clear.substr(0, colon);
    result.Rest = clear.substr(colon + 1, kRestLength);
  }
  return result;
}

std::string TVEncrypt::EncodeCredential(const std::string& password) const {
  if (password.size() > kMaxPasswordLength) {
    throw common::EConvertError("The password is longer than 29 bytes.");
  }
  if (password.find(':') != std::string::npos) {
    throw common::EConvertError("The password must not contain a colon.");
  }
  std::string clear = password + ":";
  std::random_device rd;
  std::uniform_int_distribution<int> byte(0, 255);
  while (clear.size() < kCredentialLength) clear += static_cast<char>(byte(rd));
  std::string encoded(kCredentialLength, '\0');
  EncryptBuffer(reinterpret_cast<const std::uint8_t*>(clear.data()),
                reinterpret_cast<std::uint8_t*>(encoded.data()), kCredentialLength);
  return encoded;
}

std::string Base64Decode(const std::string& text) {
  std::string padded = text;
  while (padded.size() % 4 != 0) padded += '=';
  std::string out;
  int group[4] = {};
  int count = 0;
  for (char c : padded) {
    int value;
    if (c == '=') {
      value = -1;
    } else if (IsSeparator(c)) {
      continue;
    } else {
      value = Base64Value(c);
      if (value < 0) throw common::EConvertError(kInvalidBase64);
    }
    group[count++] = value;
    if (count == 4) {
      EmitGroup(group, 4, out);
      count = 0;
    }
  }
  // Separators may leave a group short; it decodes as if padded.
  if (count > 0) {
    for (int i = count; i < 4; ++i) group[i] = -1;
    EmitGroup(group, 4, out);
  }
  return out;
}

std::string Base64Encode(const std::string& bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
    std::uint32_t bits = 0;
    for (std::size_t j = 0; j < 3; ++j) {
      bits = (bits << 8) | (j < n ? static_cast<std::uint8_t>(bytes[i + j]) : 0u);
    }
    for (std::size_t j = 0; j < 4; ++j) {
      out += j <= n ? kBase64Alphabet[(bits >> (18 - 6 * j)) & 0x3F] : '=';
    }
  }
  return out;
}

std::string RegistryHex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out = "hex:";
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0) out += ',';
    const auto b = static_cast<std::uint8_t>(bytes[i]);
    out += digits[b >> 4];
    out += digits[b & 0x0F];
  }
  return out;
}

int RunEncodePassword(std::istream& in, std::ostream& out, std::ostream& err) {
  std::string password;
  if (!std::getline(in, password)) {
    err << "No password given: write the password as one line to standard input.\n";
    return 1;
  }
  if (!password.empty() && password.back() == '\r') password.pop_back();
  if (password.size() > kMaxPasswordLength) {
    err << "The password is " << password.size() << " bytes long; at most " << kMaxPasswordLength
        << " bytes fit into the stored credential.\n";
    return 1;
  }
  if (password.find(':') != std::string::npos) {
    err << "The password must not contain a colon (\":\"): the stored credential ends the "
           "password at the first colon.\n";
    return 1;
  }
  const std::string credential = TVEncrypt().EncodeCredential(password);
  out << "; VNPostProc.VFG, section [Database Settings]:\n"
      << "ODBC Password=" << Base64Encode(credential) << "\n"
      << "; registry file, key [" << kSettingsKey << "]:\n"
      << "\"ODBC_Pass\"=" << RegistryHex(credential) << "\n";
  // Output that did not arrive (a closed pipe, a full disk) leaves the caller without the
  // credential: that is a failure.
  if (!out.flush()) {
    err << "The encoded password could not be written.\n";
    return 1;
  }
  return 0;
}

}  // namespace vnpp::database
