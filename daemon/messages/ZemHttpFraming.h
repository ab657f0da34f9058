// Readers of a raw HTTP/1.1 reply held as bytes: the head and body lengths, chunked framing and
// the payload of a chunk. The link receives its replies through the HTTP session, so nothing
// calls these; they are kept with the message classes as part of the same surface.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace ZemHttpFraming {

// Kinds of reply framing.
constexpr int kFramedByLength = 0;
constexpr int kChunked = 1;
constexpr int kNoLength = 2;

// The framing of the reply; *headLen is the head's length plus the 4 bytes of the blank line,
// *bodyLen the announced body length (kFramedByLength only).
int getHTTPParseTypeAndReadHeadLen(std::span<const uint8_t> data, int64_t* headLen, int64_t* bodyLen);
// The head's length plus 4.
int64_t getReadDataHeadLength(std::span<const uint8_t> data);
// *headLen as above; the value of the first "Content-Length: " line, or 0.
int64_t getReadDataBodyAndHeadlength(std::span<const uint8_t> data, int64_t* headLen);

bool isChunkedData(std::span<const uint8_t> data);
// The text ends with the last chunk ("\r\n0\r\n\r\n").
bool isChunkedDataReadEnd(std::span<const uint8_t> data);
// The text is the last chunk alone.
bool isChunkedEndData(std::span<const uint8_t> data);

// The payload of one chunk as ISO Latin-1 text: on the first piece the head is skipped; the chunk
// size line follows a line break and gives the number of characters taken after it.
std::string getChunkedBodyStringWithIsFirst(std::span<const uint8_t> data, bool isFirst);
// The payload of a piece as bytes, none when it has none; *isEnd tells whether the piece ends with
// the last chunk, *bodyLen (first piece) the hexadecimal size of its first line.
std::optional<std::vector<uint8_t>> getChunkedBodyDataWithIsFirst(std::span<const uint8_t> data, bool isFirst,
                                                                  int64_t* bodyLen, bool* isEnd);

}  // namespace ZemHttpFraming
