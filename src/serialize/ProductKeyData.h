// Product data compiled into the program: the default cipher key and the
// table of brand records. The bytes themselves live in ProductKeyData.cpp and
// never change (see there).
#pragma once

#include <cstdint>

const uint32_t DEFAULT_CIPHER_KEY_SIZE = 56;
const uint32_t BRAND_DATA_BLOCK_SIZE = 4128;
const uint32_t BRAND_NAME_SIZE = 64;
const uint32_t BRAND_RECORD_COUNT = 15;
// Selector of the record that ends the table; its names are "Max ID".
const uint32_t BRAND_TERMINATOR_SELECTOR = 16;

struct BrandRecord {
  uint32_t selector;                  // 1 to 15, in table order
  char keyName[BRAND_NAME_SIZE];      // what a "Brand" registry record names
  char displayName[BRAND_NAME_SIZE];  // human-readable name
  const uint8_t* dataBlock;           // BRAND_DATA_BLOCK_SIZE bytes; null in the terminator
};

// The key of every archive encipherment of the service (selector 0).
extern const uint8_t g_DefaultCipherKey[DEFAULT_CIPHER_KEY_SIZE];
// The 15 brand records in selector order, then the terminator.
extern const BrandRecord g_BrandRecords[BRAND_RECORD_COUNT + 1];
