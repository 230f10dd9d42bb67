#include "szdd_reference.h"

#include <cstdint>

#include "szdd.h"

std::vector<unsigned char> SzddLongestMatchesByBruteForce(const unsigned char* data,
                                                          std::size_t size) {
  std::vector<unsigned char> longest(size, 0);
  for (std::size_t i = 0; i < size; ++i) {
    const std::size_t remaining = size - i;
    const std::size_t limit = remaining < 18 ? remaining : 18;
    std::size_t best = 0;
    for (std::size_t distance = 1; distance <= 4095 && best < limit; ++distance) {
      // Source byte k is data[i + k - distance], or a blank before the data.
      std::size_t len = 0;
      while (len < limit) {
        const unsigned char src =
            i + len >= distance ? data[i + len - distance] : static_cast<unsigned char>(' ');
        if (src != data[i + len]) break;
        ++len;
      }
      if (len > best) best = len;
    }
    longest[i] = static_cast<unsigned char>(best >= 3 ? best : 0);
  }
  return longest;
}

std::size_t SzddOptimalSize(const std::vector<unsigned char>& longest) {
  const std::size_t size = longest.size();
  std::vector<std::uint64_t> bits(size + 1, 0);
  for (std::size_t i = size; i-- > 0;) {
    std::uint64_t best = bits[i + 1] + 9;
    for (std::size_t len = 3; len <= longest[i]; ++len) {
      if (bits[i + len] + 17 < best) best = bits[i + len] + 17;
    }
    bits[i] = best;
  }
  return kSzddHeaderSize + static_cast<std::size_t>((bits[0] + 7) / 8);
}
