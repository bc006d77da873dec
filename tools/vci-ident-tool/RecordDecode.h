// Decoding and encoding of one archive for the tool's commands (decode,
// encode, send, listen): the record is chosen by its object id, an
// enciphered body is deciphered with the default key first.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

class CArchiveBuffer;

// ar is a loading archive holding one content (id word first, no frame
// length). On success out is the record's JSON, with "enciphered": true
// added when the body was enciphered. On failure err names the class, how far
// the read got ("at byte P of L") and why. An enciphered archive is
// deciphered in place (its flag cleared); the cursor is left where the read
// stopped.
bool DecodeArchive(CArchiveBuffer& ar, nlohmann::ordered_json& out, std::string& err);

// Writes the record described by in into a storing archive, enciphered with
// the default key when encrypt is set or in carries "enciphered": true.
bool EncodeArchive(const nlohmann::ordered_json& in, bool encrypt, CArchiveBuffer& ar, std::string& err);
