// Encipherment of an archive's body: everything behind the object id word,
// Blowfish-ECB under a key of the key provider, in place. The id word stays
// in clear and carries the enciphered flag.
#include <cstdio>

#include "serialize/ArchiveBuffer.h"
#include "serialize/BlowfishCipher.h"
#include "serialize/CipherKey.h"

namespace {

const uint32_t kIdWordSize = 4;

// The flag sits in the second byte of the little-endian id word.
void SetFlag(uint8_t* idWord, bool on) {
  const uint8_t bit = static_cast<uint8_t>(CArchiveBuffer::ENCRYPTED_FLAG >> 8);
  if (on)
    idWord[1] = static_cast<uint8_t>(idWord[1] | bit);
  else
    idWord[1] = static_cast<uint8_t>(idWord[1] & ~bit);
}

}  // namespace

bool CArchiveBuffer::Encrypt(uint32_t selector, uint32_t modifier) {
  if (!IsUsable() || m_pCursor - m_pContent < static_cast<ptrdiff_t>(kIdWordSize)) return false;
  uint32_t bodyLength = static_cast<uint32_t>(m_pCursor - m_pContent) - kIdWordSize;
  uint32_t padding = (CBlowfishCipher::BLOCK_SIZE - bodyLength % CBlowfishCipher::BLOCK_SIZE) %
                     CBlowfishCipher::BLOCK_SIZE;
  if (padding != 0) {
    if (!WriteFill(0, padding)) return false;
    bodyLength += padding;
  }
  // Only now: the padding may have moved the buffer.
  uint8_t* body = m_pContent + kIdWordSize;

  const uint8_t* key = GetCipherKey(selector, modifier);
  if (key == nullptr) return false;
  CBlowfishCipher cipher;
  if (cipher.SetKey(key, CBlowfishCipher::MAX_KEY_LENGTH) != 0) {
    std::printf("FATAL ERROR: Unable to initialize the encryption engine\n");
    return false;
  }
  if (cipher.Encrypt(body, bodyLength, "ecb", nullptr) != 0) {
    std::printf("FATAL ERROR: Unable to encrypt the file\n");
    return false;
  }
  SetFlag(m_pContent, true);
  return true;
}

// The body ends at the end of the bytes in the archive: for a loaded file or
// a received frame that is the end of what arrived, wherever the cursor
// stands; while storing it is the cursor.
bool CArchiveBuffer::Decrypt(uint32_t selector, uint32_t modifier) {
  if (!IsUsable() || m_pDataEnd - m_pContent < static_cast<ptrdiff_t>(kIdWordSize)) return false;
  uint8_t* body = m_pContent + kIdWordSize;
  uint32_t bodyLength = static_cast<uint32_t>(m_pDataEnd - body);

  const uint8_t* key = GetCipherKey(selector, modifier);
  if (key == nullptr) return false;
  CBlowfishCipher cipher;
  if (cipher.SetKey(key, CBlowfishCipher::MAX_KEY_LENGTH) != 0) return false;
  if (cipher.Decrypt(body, bodyLength, "ecb", nullptr) != 0) return false;
  SetFlag(m_pContent, false);
  return true;
}
