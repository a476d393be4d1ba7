// The stored database password: a 30-byte credential (password, ":", filler) enciphered
// with a running-key cipher; the settings file holds it as Base64 text, the registry file
// as raw bytes.
// Thread safety: the classes hold only constants; the functions are reentrant.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>

#include "common/Error.h"

namespace vnpp::database {

// Length of an enciphered credential, and so at most 29 bytes of password.
inline constexpr std::size_t kCredentialLength = 30;
inline constexpr std::size_t kMaxPasswordLength = kCredentialLength - 1;

class TEncrypt {
 public:
  TEncrypt() = default;
  virtual ~TEncrypt() = default;

  // Deciphers count bytes of source into dest (which may be source itself).
  void DecryptBuffer(const std::uint8_t* source, std::uint8_t* dest, std::size_t count) const;
  // The inverse of DecryptBuffer.
  void EncryptBuffer(const std::uint8_t* source, std::uint8_t* dest, std::size_t count) const;

  std::int32_t key = 45019;
  std::int32_t const1 = 39157;
  std::int32_t const2 = 61843;
};

class TVEncrypt : public TEncrypt {
 public:
  struct TCredential {
    std::string Password;
    std::string Rest;  // up to 19 bytes after the colon; used by nobody
  };

  // Deciphers the first 30 bytes of encoded and splits them at the first ":". A shorter
  // credential deciphers only the bytes it has; without a colon the password is empty.
  TCredential DecodeCredential(const std::string& encoded) const;

  // The 30 enciphered bytes of password, ":" and random filler.
  // REQUIRES: password is at most 29 bytes and holds no ":"; throws EConvertError otherwise.
  std::string EncodeCredential(const std::string& password) const;
};

// MIME Base64. Decoding skips the separators blank, $ ( ) [ ] { } , ; : - _ \ * " ' tab,
// line feed and carriage return; completes a text whose length is no multiple of 4 with
// "="; throws EConvertError "Input is not an valid MIME Base 64 Format." for any other
// character.
std::string Base64Decode(const std::string& text);
std::string Base64Encode(const std::string& bytes);

// "hex:1f,a0,..." as in a registry export file.
std::string RegistryHex(const std::string& bytes);

// The -encodepassword switch: reads one password line from in and writes the two forms of
// its credential to out, the line for the settings file and the line for the registry file.
// Returns 0, or 1 with a message on err when the input holds no line, the password is longer
// than 29 bytes or holds a ":", or out cannot be written.
int RunEncodePassword(std::istream& in, std::ostream& out, std::ostream& err);

}  // namespace vnpp::database
