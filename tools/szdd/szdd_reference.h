// The slow, obvious counterpart of the packer, for its tests and benchmark:
// every distance tried at every position.
#ifndef TOOLS_SZDD_SZDD_REFERENCE_H_
#define TOOLS_SZDD_SZDD_REFERENCE_H_

#include <cstddef>
#include <vector>

// The longest match at each position of `data` within distances 1 to 4095 of
// the decoder's window (4096 blanks before the data), 0 where it is shorter
// than 3 bytes; found by comparing against every one of those distances.
std::vector<unsigned char> SzddLongestMatchesByBruteForce(const unsigned char* data,
                                                          std::size_t size);

// The size of the smallest SZDD (mode 'A') file for data whose longest
// matches are `longest`: a shortest path over every parse those matches allow
// (each shorter length is there too, from the same source), at 9 bits a
// literal and 17 a match, plus the header.
std::size_t SzddOptimalSize(const std::vector<unsigned char>& longest);

#endif  // TOOLS_SZDD_SZDD_REFERENCE_H_
