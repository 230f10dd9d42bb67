// Round trips through our SZDD compressor and three independent expanders:
// libmspack, Debian's msexpand, and a strict in-test decoder that also rejects
// trailing items the others would silently ignore.
#include <gtest/gtest.h>
#include <mspack.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "szdd.h"
#include "szdd_reference.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes ToBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Deterministic so failures reproduce.
struct XorShift {
  std::uint32_t s;
  explicit XorShift(std::uint32_t seed) : s(seed ? seed : 1) {}
  std::uint32_t Next() {
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    return s;
  }
};

Bytes RandomBytes(std::size_t n, std::uint32_t seed) {
  XorShift r(seed);
  Bytes b(n);
  for (auto& c : b) c = static_cast<unsigned char>(r.Next() >> 24);
  return b;
}

// Installer-like text: repeated vocabulary, numbers and indentation, so there
// are plenty of matches at all distances and lengths.
Bytes RealisticText(std::size_t n, std::uint32_t seed) {
  static const char* const kWords[] = {
      "install", "setup",   "file",     "copy",    "directory", "windows", "system",
      "the",     "of",      "and",      "to",      "registry",  "key",     "value",
      "DLL",     "version", "program",  "error",   "message",   "dialog",  "user",
      "license", "agree",   "continue", "cancel",  "component", "path",    "default"};
  XorShift r(seed);
  std::string s;
  while (s.size() < n) {
    if (r.Next() % 7 == 0) s += "    ";
    const unsigned words = 3 + r.Next() % 9;
    for (unsigned w = 0; w < words; ++w) {
      s += kWords[r.Next() % (sizeof(kWords) / sizeof(kWords[0]))];
      s += (r.Next() % 5 == 0) ? "=" + std::to_string(r.Next() % 1000) + " " : " ";
    }
    s += "\r\n";
  }
  s.resize(n);
  return ToBytes(s);
}

// Input shaped to reach the corners of the format: runs, copies from the
// window's far edge (distances 4094 to 4097) and from close by, copies with one
// byte changed (near-matches, so the longest match sits at another distance),
// blanks that match the decoder's initial window, and the input's own start
// repeated as the first slots of that window are overwritten.
Bytes StructuredInput(std::uint32_t seed) {
  XorShift r(seed);
  const std::size_t target = 1 + r.Next() % 12000;
  // A small alphabet makes accidental near-matches plentiful.
  const unsigned alphabet = 2 + r.Next() % 40;
  Bytes b;
  auto copy_from = [&](std::size_t distance, std::size_t len, bool mutate) {
    const std::size_t at = r.Next() % len;
    for (std::size_t k = 0; k < len; ++k) {
      const std::size_t i = b.size();
      unsigned char c = i >= distance ? b[i - distance] : ' ';
      if (mutate && k == at) c = static_cast<unsigned char>(c + 1);
      b.push_back(c);
    }
  };
  while (b.size() < target) {
    static const std::size_t kDistances[] = {1, 2, 3, 17, 18, 19, 4080, 4094, 4095, 4096, 4097};
    switch (r.Next() % 7) {
      case 0:
        for (unsigned n = 1 + r.Next() % 40; n > 0; --n) b.push_back('a' + r.Next() % alphabet);
        break;
      case 1:
        b.insert(b.end(), 1 + r.Next() % 300, static_cast<unsigned char>(r.Next() >> 24));
        break;
      case 2:
        copy_from(kDistances[r.Next() % 11], 1 + r.Next() % 40, false);
        break;
      case 3:
        copy_from(kDistances[r.Next() % 11], 2 + r.Next() % 40, true);
        break;
      case 4:
        copy_from(1 + r.Next() % 5000, 1 + r.Next() % 40, r.Next() % 2 == 0);
        break;
      case 5:
        b.insert(b.end(), 1 + r.Next() % 40, ' ');
        break;
      default:
        copy_from(b.empty() ? 1 : b.size(), 1 + r.Next() % 40, r.Next() % 2 == 0);
        break;
    }
  }
  b.resize(target);
  return b;
}

// Decodes exactly as described for LZ32 mode 'A'. Fails if the header is not
// what we write, if any item would produce output beyond the stored length,
// or if the stream is truncated before that length.
bool StrictDecode(const Bytes& in, Bytes* out, std::string* why) {
  static const unsigned char kMagic[8] = {'S', 'Z', 'D', 'D', 0x88, 0xF0, 0x27, 0x33};
  if (in.size() < kSzddHeaderSize || std::memcmp(in.data(), kMagic, 8) != 0 ||
      in[8] != 'A' || in[9] != 0) {
    *why = "bad header";
    return false;
  }
  const std::uint32_t length = static_cast<std::uint32_t>(in[10]) |
                               (static_cast<std::uint32_t>(in[11]) << 8) |
                               (static_cast<std::uint32_t>(in[12]) << 16) |
                               (static_cast<std::uint32_t>(in[13]) << 24);
  unsigned char window[4096];
  std::memset(window, 0x20, sizeof(window));
  unsigned pos = 4096 - 16;
  std::size_t i = kSzddHeaderSize;
  out->clear();
  while (i < in.size()) {
    const unsigned control = in[i++];
    for (unsigned bit = 0; bit < 8 && i < in.size(); ++bit) {
      if (control & (1u << bit)) {
        if (out->size() >= length) {
          *why = "literal past stored length";
          return false;
        }
        const unsigned char c = in[i++];
        out->push_back(c);
        window[pos] = c;
        pos = (pos + 1) & 4095;
      } else {
        if (i + 1 >= in.size()) {
          *why = "truncated match";
          return false;
        }
        unsigned src = in[i] | ((in[i + 1] & 0xF0u) << 4);
        const unsigned len = (in[i + 1] & 0x0Fu) + 3;
        i += 2;
        if (out->size() + len > length) {
          *why = "match past stored length";
          return false;
        }
        for (unsigned k = 0; k < len; ++k) {
          const unsigned char c = window[src];
          src = (src + 1) & 4095;
          out->push_back(c);
          window[pos] = c;
          pos = (pos + 1) & 4095;
        }
      }
    }
  }
  if (out->size() != length) {
    *why = "stream ends before stored length";
    return false;
  }
  return true;
}

class SzddRoundTrip : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/szdd_test.XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    dir_ = templ;
  }
  void TearDown() override {
    if (!dir_.empty()) {
      std::error_code ec;
      std::filesystem::remove_all(dir_, ec);
    }
  }

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  static void WriteFile(const std::string& path, const Bytes& b) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
    ASSERT_TRUE(f.good()) << path;
  }

  static Bytes ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  }

  // Compresses `original` and checks every expander restores it byte-exact
  // (msexpand, a process per file, only when `msexpand` is set).
  void ExpectRoundTrip(const Bytes& original, const std::string& label, bool msexpand = true) {
    SCOPED_TRACE(label + " (" + std::to_string(original.size()) + " bytes)");
    const Bytes packed = SzddCompress(original.data(), original.size());
    ASSERT_GE(packed.size(), kSzddHeaderSize);

    Bytes strict;
    std::string why;
    EXPECT_TRUE(StrictDecode(packed, &strict, &why)) << why;
    EXPECT_TRUE(strict == original) << "strict decoder output differs";

    const std::string packed_path = Path(label + ".sz_");
    WriteFile(packed_path, packed);

    const std::string mspack_out = Path(label + ".mspack");
    msszdd_decompressor* d = mspack_create_szdd_decompressor(nullptr);
    ASSERT_NE(d, nullptr);
    const int err = d->decompress(d, packed_path.c_str(), mspack_out.c_str());
    mspack_destroy_szdd_decompressor(d);
    EXPECT_EQ(err, MSPACK_ERR_OK);
    EXPECT_TRUE(ReadFile(mspack_out) == original) << "libmspack output differs";

    if (!msexpand) return;
    const std::string msexpand_out = Path(label + ".msexpand");
    const std::string cmd = "msexpand < '" + packed_path + "' > '" + msexpand_out + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
    EXPECT_TRUE(ReadFile(msexpand_out) == original) << "msexpand output differs";
  }

  std::string dir_;
};

TEST_F(SzddRoundTrip, TinyInputs) {
  ExpectRoundTrip(Bytes{}, "empty");
  ExpectRoundTrip(Bytes{'x'}, "one");
  ExpectRoundTrip(Bytes{0x00}, "zero");
  ExpectRoundTrip(ToBytes("ab"), "two");
  ExpectRoundTrip(ToBytes("abc"), "three");
  ExpectRoundTrip(ToBytes("abcabcab"), "eight");
  ExpectRoundTrip(ToBytes("abcabcabc"), "nine");
  // The header alone: the strict decoder would take a stray control byte.
  const unsigned char none[1] = {0};
  EXPECT_EQ(SzddCompress(none, 0).size(), kSzddHeaderSize);
}

TEST_F(SzddRoundTrip, LongRuns) {
  ExpectRoundTrip(Bytes(19, 'a'), "run19");
  ExpectRoundTrip(Bytes(1000, 'a'), "run1000");
  ExpectRoundTrip(Bytes(70000, 0), "zeros70000");
  Bytes mixed;
  for (int r = 0; r < 50; ++r) mixed.insert(mixed.end(), 17 + r, static_cast<unsigned char>('A' + r % 26));
  ExpectRoundTrip(mixed, "mixedruns");
}

TEST_F(SzddRoundTrip, BlanksUseInitialWindow) {
  ExpectRoundTrip(Bytes(18, ' '), "blanks18");
  ExpectRoundTrip(Bytes(5000, ' '), "blanks5000");
  ExpectRoundTrip(ToBytes("  x   y    z" + std::string(40, ' ') + "end"), "blanksmixed");
  // A single match into the untouched initial window must cover all 18 bytes.
  const Bytes blanks(18, ' ');
  EXPECT_EQ(SzddCompress(blanks.data(), blanks.size()).size(), kSzddHeaderSize + 3);
}

TEST_F(SzddRoundTrip, WindowBoundaries) {
  for (std::size_t n : {4079, 4080, 4081, 4095, 4096, 4097, 8192, 12289}) {
    ExpectRoundTrip(RealisticText(n, static_cast<std::uint32_t>(n)), "text" + std::to_string(n));
  }
  // Periods at and around the window size: a distance of 4096 must not be
  // emitted, 4095 is the furthest that all decoders agree on.
  for (std::size_t period : {4094, 4095, 4096, 4097}) {
    const Bytes block = RandomBytes(period, static_cast<std::uint32_t>(period));
    Bytes data;
    for (int k = 0; k < 3; ++k) data.insert(data.end(), block.begin(), block.end());
    ExpectRoundTrip(data, "period" + std::to_string(period));
  }
}

TEST_F(SzddRoundTrip, IncompressibleStaysBounded) {
  for (std::size_t n : {1, 7, 8, 9, 100, 20000}) {
    const Bytes data = RandomBytes(n, 99 + static_cast<std::uint32_t>(n));
    ExpectRoundTrip(data, "random" + std::to_string(n));
    // Worst case is all literals: one control byte per eight of them.
    EXPECT_LE(SzddCompress(data.data(), data.size()).size(), kSzddHeaderSize + n + (n + 7) / 8);
  }
}

TEST_F(SzddRoundTrip, RealisticTextCompressesWell) {
  const Bytes data = RealisticText(400000, 12345);
  ExpectRoundTrip(data, "text400k");
  const Bytes packed = SzddCompress(data.data(), data.size());
  EXPECT_LT(packed.size(), data.size() / 2);
  // Run compression exercises every length and the overlapping copy.
  const Bytes run(1000, 'a');
  EXPECT_LE(SzddCompress(run.data(), run.size()).size(), kSzddHeaderSize + 1 + 1 + 2 * 56 + 8);
}

TEST_F(SzddRoundTrip, FileApi) {
  const Bytes data = RealisticText(30000, 5);
  const std::string in = Path("in.txt");
  const std::string out = Path("out.sz_");
  WriteFile(in, data);
  ASSERT_TRUE(SzddCompressFile(in.c_str(), out.c_str()));
  EXPECT_TRUE(ReadFile(out) == SzddCompress(data.data(), data.size()));

  EXPECT_FALSE(SzddCompressFile(Path("missing").c_str(), Path("never").c_str()));
  EXPECT_FALSE(std::filesystem::exists(Path("never")));
  EXPECT_FALSE(SzddCompressFile(in.c_str(), Path("no/such/dir/out").c_str()));
  EXPECT_FALSE(SzddCompressFile(nullptr, out.c_str()));
}

// The packer's match finder against every distance tried at every position,
// and its output against the smallest file there is.
TEST(SzddMatchFinder, FindsTheLongestMatchAndTheSmallestFile) {
  std::vector<std::pair<std::string, Bytes>> cases = {
      {"blanks", Bytes(5000, ' ')},
      {"text", RealisticText(9000, 11)},
      {"random", RandomBytes(6000, 12)},
      {"zeros", Bytes(7000, 0)},
  };
  for (std::uint32_t seed = 1; seed <= 16; ++seed) {
    cases.emplace_back("structured" + std::to_string(seed), StructuredInput(seed));
  }
  for (const auto& [label, data] : cases) {
    SCOPED_TRACE(label);
    const Bytes ours = SzddLongestMatches(data.data(), data.size());
    const Bytes truth = SzddLongestMatchesByBruteForce(data.data(), data.size());
    ASSERT_EQ(ours.size(), data.size());
    std::size_t differ = 0;
    while (differ < data.size() && ours[differ] == truth[differ]) ++differ;
    EXPECT_EQ(differ, data.size()) << "first difference at " << differ;
    EXPECT_EQ(SzddCompress(data.data(), data.size()).size(), SzddOptimalSize(truth));
  }
}

TEST_F(SzddRoundTrip, RandomisedStructuredInputs) {
  for (std::uint32_t seed = 100; seed < 300; ++seed) {
    ExpectRoundTrip(StructuredInput(seed), "structured" + std::to_string(seed), seed % 10 == 0);
    if (HasFailure()) break;
  }
}

}  // namespace
