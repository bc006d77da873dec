// Brand resolution: the installation's brand number, 1 to 15, from the
// registry value "Brand" under HKEY_LOCAL_MACHINE\SOFTWARE\KIVO\KIVO_VCI.
//
// The value is hexadecimal text of an enciphered record (Blowfish-ECB under
// the default key), which deciphers to, little-endian:
//   u32 header word (not used by the lookup), u32 name length n,
//   n bytes of a brand key name, zero fill up to a multiple of 8 bytes.
// The name is looked up among the key names of the brand record table.
#pragma once

#include <cstdint>
#include <string>

// True with the brand number on success. The first success is kept for the
// life of the process and later calls never read the registry again; a
// failure keeps nothing, so the next call tries again. No log lines: on
// failure why (when given) says what is wrong for the caller to log ("the
// value \"Brand\" ... is garbled: ...").
bool GetBrand(uint32_t& brand, std::string* why = nullptr);

// Why a value text does not decode (BRAND_TEXT_OK when it does).
enum BrandTextResult {
  BRAND_TEXT_OK = 0,
  BRAND_TEXT_TOO_SHORT,      // fewer than 3 characters
  BRAND_TEXT_ODD_LENGTH,     // an odd number of hexadecimal digits
  BRAND_TEXT_NOT_DECIPHERED, // the bytes are not whole cipher blocks
  BRAND_TEXT_BAD_LENGTH,     // the name length runs past the record
};
const char* BrandTextResultText(BrandTextResult result);

// Turns a value text (characters up to the first NUL) into the brand key
// name that its record holds. Digits decode case-insensitively; a character
// that is no hexadecimal digit counts as 0.
BrandTextResult DecodeBrandText(const std::string& text, std::string& keyName);

// The value text for a key name: the record enciphered under the default key
// as upper-case hexadecimal. False when the name is empty or too long for the
// 240-byte registry buffer that GetBrand reads the value into.
bool EncodeBrandText(const std::string& keyName, std::string& text);

// The selector whose key name equals keyName exactly, or 0. The walk stops at
// the terminator before comparing it, so "Max ID" names no brand.
uint32_t FindBrandByKeyName(const std::string& keyName);

// Key name and display name of a selector; null at the terminator or beyond.
const char* GetBrandKeyName(uint32_t selector);
const char* GetBrandDisplayName(uint32_t selector);
