#include "szdd.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>

namespace {

constexpr std::size_t kWindowSize = 4096;
constexpr std::size_t kWindowMask = kWindowSize - 1;
// Decoders start writing 16 bytes before the end of the blank-filled window.
constexpr std::size_t kStartPos = kWindowSize - 16;
constexpr unsigned char kFill = 0x20;
constexpr unsigned kMinMatch = 3;
constexpr unsigned kMaxMatch = 18;
// A distance of exactly 4096 would read the slot being written; decoders differ
// on whether they read before writing, so it is never emitted.
constexpr std::size_t kMaxDistance = kWindowSize - 1;
constexpr unsigned kHashBits = 16;
constexpr std::size_t kNoPos = 0;  // buffer position 0 is never inserted

// Bit costs of each item including its control bit. The file's length is the
// total rounded up to whole bytes, so the fewest bits make the smallest file.
constexpr std::uint64_t kLiteralCost = 9;
constexpr std::uint64_t kMatchCost = 17;

inline std::uint32_t Hash3(const unsigned char* p) {
  const std::uint32_t v = static_cast<std::uint32_t>(p[0]) |
                          (static_cast<std::uint32_t>(p[1]) << 8) |
                          (static_cast<std::uint32_t>(p[2]) << 16);
  return (v * 2654435761u) >> (32 - kHashBits);
}

void PutLe32(std::vector<unsigned char>& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

// The decoder's window laid out in a line: 4096 blanks standing for its
// initial contents, then the data. A match at buffer position j may start at
// any of the 4095 positions before it, and may run on past j (an overlapping
// copy), exactly as the decoders copy byte by byte.
std::vector<unsigned char> WindowedBuffer(const unsigned char* data, std::size_t size) {
  std::vector<unsigned char> buf(kWindowSize + size, kFill);
  if (size != 0) std::memcpy(buf.data() + kWindowSize, data, size);
  return buf;
}

// Binary search trees of the window's positions, one per hash of their first
// three bytes, each ordered by the (up to 18) bytes that follow a position.
// A position is inserted as the root of its tree; everything below a node is
// older than it, so the search stops at the first node that has left the
// window and loses nothing. The path from the root passes the nearest
// neighbours of the new string in that order, and so its longest match.
struct MatchTrees {
  std::vector<std::size_t> root;
  std::vector<std::size_t> child;  // [2 * slot] smaller, [2 * slot + 1] greater
};

// Inserts buffer position j (at least 3 bytes before the end) and returns the
// longest match for it within the window, with its source in *source.
unsigned InsertAndMatch(MatchTrees& t, const std::vector<unsigned char>& buf, std::size_t j,
                        std::size_t* source) {
  const std::size_t remaining = buf.size() - j;
  const unsigned limit = remaining < kMaxMatch ? static_cast<unsigned>(remaining) : kMaxMatch;
  const unsigned char* cur = &buf[j];
  std::size_t& root = t.root[Hash3(cur)];
  std::size_t cand = root;
  root = j;
  std::size_t* smaller = &t.child[2 * (j & kWindowMask)];
  std::size_t* greater = smaller + 1;
  unsigned len_smaller = 0;
  unsigned len_greater = 0;
  unsigned best = 0;
  for (;;) {
    if (cand == kNoPos || j - cand > kMaxDistance) {
      *smaller = kNoPos;
      *greater = kNoPos;
      return best;
    }
    std::size_t* pair = &t.child[2 * (cand & kWindowMask)];
    const unsigned char* old = &buf[cand];
    // Everything on this side of the path already agrees with cur this far.
    unsigned len = len_smaller < len_greater ? len_smaller : len_greater;
    while (len < limit && old[len] == cur[len]) ++len;
    if (len > best) {
      best = len;
      *source = cand;
    }
    if (len == limit) {
      // As good as cur for every later search: cur takes its place.
      *smaller = pair[0];
      *greater = pair[1];
      return best;
    }
    if (old[len] < cur[len]) {
      *smaller = cand;
      smaller = &pair[1];
      cand = *smaller;
      len_smaller = len;
    } else {
      *greater = cand;
      greater = &pair[0];
      cand = *greater;
      len_greater = len;
    }
  }
}

// For each data position the longest match the window offers (0 when it is
// shorter than kMinMatch) and the window slot it is copied from.
void FindLongestMatches(const std::vector<unsigned char>& buf, unsigned char* length,
                        std::uint16_t* slot) {
  MatchTrees trees;
  trees.root.assign(std::size_t{1} << kHashBits, kNoPos);
  trees.child.assign(2 * kWindowSize, kNoPos);
  const std::size_t total = buf.size();
  std::size_t source = 0;
  for (std::size_t j = 1; j < kWindowSize && j + kMinMatch <= total; ++j) {
    InsertAndMatch(trees, buf, j, &source);
  }
  for (std::size_t j = kWindowSize; j + kMinMatch <= total; ++j) {
    const unsigned len = InsertAndMatch(trees, buf, j, &source);
    if (len >= kMinMatch) {
      length[j - kWindowSize] = static_cast<unsigned char>(len);
      // Buffer position kWindowSize maps to the decoder's first write slot.
      slot[j - kWindowSize] =
          static_cast<std::uint16_t>((source + kStartPos - kWindowSize) & kWindowMask);
    }
  }
}

}  // namespace

std::vector<unsigned char> SzddLongestMatches(const unsigned char* data, std::size_t size) {
  std::vector<unsigned char> length(size, 0);
  std::vector<std::uint16_t> slot(size, 0);
  FindLongestMatches(WindowedBuffer(data, size), length.data(), slot.data());
  return length;
}

std::vector<unsigned char> SzddCompress(const unsigned char* data, std::size_t size) {
  std::vector<unsigned char> out;
  if (size > std::numeric_limits<std::uint32_t>::max()) return out;

  static const unsigned char kMagic[8] = {'S', 'Z', 'D', 'D', 0x88, 0xF0, 0x27, 0x33};
  out.assign(kMagic, kMagic + sizeof(kMagic));
  out.push_back('A');
  out.push_back(0);
  PutLe32(out, static_cast<std::uint32_t>(size));
  if (size == 0) return out;

  std::vector<unsigned char> match_len(size, 0);
  std::vector<std::uint16_t> match_pos(size, 0);
  FindLongestMatches(WindowedBuffer(data, size), match_len.data(), match_pos.data());

  // cost[i]: fewest bits to encode data[i..size). Every shorter match at the
  // same source exists too, and costs do not depend on length or distance, so
  // this choice among the longest matches is optimal over all parses.
  // match_len is rewritten to the chosen step (0 = literal).
  std::vector<std::uint64_t> cost(size + 1, 0);
  for (std::size_t i = size; i-- > 0;) {
    std::uint64_t best = cost[i + 1] + kLiteralCost;
    unsigned choice = 0;
    for (unsigned len = kMinMatch; len <= match_len[i]; ++len) {
      const std::uint64_t c = cost[i + len] + kMatchCost;
      if (c < best) {
        best = c;
        choice = len;
      }
    }
    cost[i] = best;
    match_len[i] = static_cast<unsigned char>(choice);
  }

  out.reserve(out.size() + size + size / 8 + 1);
  std::size_t control_at = 0;
  unsigned items = 8;
  for (std::size_t i = 0; i < size;) {
    if (items == 8) {
      control_at = out.size();
      out.push_back(0);
      items = 0;
    }
    const unsigned len = match_len[i];
    if (len == 0) {
      out[control_at] = static_cast<unsigned char>(out[control_at] | (1u << items));
      out.push_back(data[i]);
      ++i;
    } else {
      const unsigned pos = match_pos[i];
      out.push_back(static_cast<unsigned char>(pos & 0xFF));
      out.push_back(static_cast<unsigned char>(((pos >> 4) & 0xF0) | (len - kMinMatch)));
      i += len;
    }
    ++items;
  }
  return out;
}

namespace {

bool ReadWholeFile(const char* path, std::vector<unsigned char>* data) {
  std::FILE* f = std::fopen(path, "rb");
  if (f == nullptr) return false;
  unsigned char chunk[65536];
  bool ok = true;
  for (;;) {
    const std::size_t got = std::fread(chunk, 1, sizeof(chunk), f);
    data->insert(data->end(), chunk, chunk + got);
    if (got < sizeof(chunk)) {
      ok = std::ferror(f) == 0;
      break;
    }
  }
  std::fclose(f);
  return ok;
}

}  // namespace

bool SzddCompressFile(const char* in, const char* out) {
  if (in == nullptr || out == nullptr) return false;
  std::vector<unsigned char> data;
  if (!ReadWholeFile(in, &data)) return false;
  const std::vector<unsigned char> packed = SzddCompress(data.data(), data.size());
  if (packed.empty()) return false;

  std::FILE* f = std::fopen(out, "wb");
  if (f == nullptr) return false;
  bool ok = std::fwrite(packed.data(), 1, packed.size(), f) == packed.size();
  ok = (std::fclose(f) == 0) && ok;
  if (!ok) std::remove(out);
  return ok;
}
