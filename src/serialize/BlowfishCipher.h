// CBlowfishCipher: Schneier's Blowfish (16 rounds, 64-bit blocks, keys of 1
// to 56 bytes) over whole buffers in place, in the four classic modes.
//
// A block is two 32-bit halves, each read big-endian (the first byte of the
// block is the most significant byte of the left half), as in the published
// test vectors. The context finds out where each significance of a 32-bit
// word sits in this machine's memory once, at construction, and moves bytes
// through those positions, so the results do not depend on the byte order.
//
// A context is cheap enough to live for one call: construct, SetKey, use,
// destroy. Destruction resets the tables so that no key material survives.
#pragma once

#include <cstdint>

class CBlowfishCipher {
 public:
  static const uint32_t MAX_KEY_LENGTH = 56;
  static const uint32_t BLOCK_SIZE = 8;

  // Result codes of Encrypt / Decrypt (SetKey uses ERR_LENGTH).
  enum : int { OK = 0, ERR_LENGTH = -1, ERR_NO_MODE = -2, ERR_BAD_MODE = -3, ERR_NO_DATA = -4 };

  CBlowfishCipher();
  ~CBlowfishCipher();
  CBlowfishCipher(const CBlowfishCipher&) = delete;
  CBlowfishCipher& operator=(const CBlowfishCipher&) = delete;

  // Resets the tables and runs the published key schedule. -1 for a null key
  // or a length of 0 or more than 56 bytes.
  int SetKey(const uint8_t* key, uint32_t length);

  // In place over length bytes (a multiple of 8). mode is "ecb", "cbc",
  // "cfb" (64-bit cipher feedback) or "ofb" (64-bit output feedback); a null
  // iv stands for eight zero bytes. Checks in this order: data null -4,
  // length -1, mode null -2, unknown mode -3.
  int Encrypt(uint8_t* data, uint32_t length, const char* mode, const uint8_t* iv);
  int Decrypt(uint8_t* data, uint32_t length, const char* mode, const uint8_t* iv);

 private:
  enum Mode { MODE_ECB, MODE_CBC, MODE_CFB, MODE_OFB };
  static int CheckArguments(const uint8_t* data, uint32_t length, const char* mode, Mode& parsed);

  void Reset();
  uint32_t F(uint32_t x) const;
  void EncipherBlock(uint32_t& left, uint32_t& right) const;
  void DecipherBlock(uint32_t& left, uint32_t& right) const;
  // Big-endian word from / to 4 bytes through m_BytePos.
  uint32_t LoadWord(const uint8_t* in) const;
  void StoreWord(uint32_t value, uint8_t* out) const;
  void LoadBlock(const uint8_t* in, uint32_t& left, uint32_t& right) const;
  void StoreBlock(uint32_t left, uint32_t right, uint8_t* out) const;

  uint32_t m_P[18];
  uint32_t m_S[4][256];
  // Memory position, within a 32-bit word of this machine, of the word's
  // most significant (index 0) to least significant (index 3) byte.
  uint32_t m_BytePos[4];
};
