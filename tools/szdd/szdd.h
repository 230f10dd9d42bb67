// SZDD (mode 'A') compressor: output expands with Windows' LZ32 (LZOpenFile,
// LZCopy, EXPAND.EXE), libmspack and msexpand.
#ifndef TOOLS_SZDD_SZDD_H_
#define TOOLS_SZDD_SZDD_H_

#include <cstddef>
#include <vector>

// Size of the fixed header that precedes the compressed stream.
constexpr std::size_t kSzddHeaderSize = 14;

// Returns the complete SZDD file image for `size` bytes at `data`.
// The header stores the length as 32 bits, so inputs of 4 GiB or more cannot be
// represented; for those an empty vector is returned (a valid result is never
// shorter than the header). `data` may be null when `size` is 0.
std::vector<unsigned char> SzddCompress(const unsigned char* data, std::size_t size);

// The length of the longest match that the decoder's window offers at each
// position of `data` (distances 1 to 4095, the initial blanks included), or 0
// where it is shorter than 3 bytes: what SzddCompress chooses from.
std::vector<unsigned char> SzddLongestMatches(const unsigned char* data, std::size_t size);

// Compresses file `in` into file `out` (created or truncated). Returns false and
// leaves no partial `out` behind on any read, size or write failure.
bool SzddCompressFile(const char* in, const char* out);

#endif  // TOOLS_SZDD_SZDD_H_
