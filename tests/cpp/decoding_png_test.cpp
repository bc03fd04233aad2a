// The fast PNG path against libpng's on PNGs written here: every colour type
// it takes, every filter, odd sizes, split image data; and damaged or odd
// files, which must come out exactly as on libpng's path alone (the same
// pixels, or the same refusal).
#include <gtest/gtest.h>

#include <libdeflate.h>

#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "decoding/decode.h"
#include "decoding/internal/png_fast.h"

namespace batchaugmentor::decoding {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Chunk {
  std::string type;
  Bytes data;
};
using Chunks = std::vector<Chunk>;

void put32(Bytes& b, std::uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<std::uint8_t>(v >> s));
}

Bytes assemble(const Chunks& chunks) {
  Bytes out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  for (const Chunk& c : chunks) {
    put32(out, static_cast<std::uint32_t>(c.data.size()));
    const std::size_t start = out.size();
    out.insert(out.end(), c.type.begin(), c.type.end());
    out.insert(out.end(), c.data.begin(), c.data.end());
    put32(out, libdeflate_crc32(0, out.data() + start, out.size() - start));
  }
  return out;
}

int samples_of(int color_type) { return color_type == 2 ? 3 : color_type == 4 ? 2 : color_type == 6 ? 4 : 1; }

unsigned predict(int filter, unsigned a, unsigned b, unsigned c) {
  const int pa = std::abs(static_cast<int>(b) - static_cast<int>(c));
  const int pb = std::abs(static_cast<int>(a) - static_cast<int>(c));
  const int pc = std::abs(static_cast<int>(a + b) - 2 * static_cast<int>(c));
  switch (filter) {
    case 1: return a;
    case 2: return b;
    case 3: return (a + b) / 2;
    case 4: return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
  }
  return 0;
}

// Random samples as filtered rows: `filter` 0-4 for every row, or -1 for a
// random one per row.
Bytes filtered_rows(std::uint32_t w, std::uint32_t h, int bpp, int filter, std::mt19937& rng, int top = 256) {
  const std::size_t n = std::size_t{w} * static_cast<std::size_t>(bpp);
  Bytes raw(n * h), out;
  for (auto& v : raw) v = static_cast<std::uint8_t>(rng() % static_cast<unsigned>(top));
  for (std::uint32_t y = 0; y < h; ++y) {
    const int f = filter >= 0 ? filter : static_cast<int>(rng() % 5);
    out.push_back(static_cast<std::uint8_t>(f));
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t at = y * n + i;
      const unsigned a = i >= static_cast<std::size_t>(bpp) ? raw[at - bpp] : 0, b = y > 0 ? raw[at - n] : 0;
      const unsigned c = y > 0 && i >= static_cast<std::size_t>(bpp) ? raw[at - n - bpp] : 0;
      out.push_back(static_cast<std::uint8_t>(raw[at] - predict(f, a, b, c)));
    }
  }
  return out;
}

Bytes zlib_of(const Bytes& raw, int level) {
  libdeflate_compressor* c = libdeflate_alloc_compressor(level);
  Bytes out(libdeflate_zlib_compress_bound(c, raw.size()));
  out.resize(libdeflate_zlib_compress(c, raw.data(), raw.size(), out.data(), out.size()));
  libdeflate_free_compressor(c);
  return out;
}

Bytes header(std::uint32_t w, std::uint32_t h, int color_type, int depth = 8, int interlace = 0) {
  Bytes d;
  put32(d, w);
  put32(d, h);
  d.insert(d.end(), {static_cast<std::uint8_t>(depth), static_cast<std::uint8_t>(color_type), 0, 0,
                     static_cast<std::uint8_t>(interlace)});
  return d;
}

// An image's chunks: IHDR, PLTE and tRNS as the colour type has them, IDAT
// cut into `pieces` (0 for one chunk), IEND.
Chunks make_png(std::uint32_t w, std::uint32_t h, int color_type, bool trns, int filter, unsigned seed,
                std::size_t pieces = 0, int level = 6) {
  std::mt19937 rng(seed);
  Chunks png = {{"IHDR", header(w, h, color_type)}};
  if (color_type == 3) {
    Bytes palette(3 * 200);
    for (auto& v : palette) v = static_cast<std::uint8_t>(rng());
    png.push_back({"PLTE", palette});
  }
  if (trns) {
    Bytes t = color_type == 3 ? Bytes{0, 128, 255, 7} : color_type == 0 ? Bytes{0, 9} : Bytes{0, 9, 0, 8, 0, 7};
    png.push_back({"tRNS", t});
  }
  // Small values with a key, so that it is hit; indices 200-209 lie past PLTE.
  const int top = color_type == 3 ? 210 : trns ? 10 : 256;
  const Bytes z = zlib_of(filtered_rows(w, h, samples_of(color_type), filter, rng, top), level);
  const std::size_t step = pieces == 0 ? z.size() : (z.size() + pieces - 1) / pieces;
  for (std::size_t at = 0; at < z.size(); at += step) {
    png.push_back({"IDAT", Bytes(z.begin() + static_cast<std::ptrdiff_t>(at),
                                 z.begin() + static_cast<std::ptrdiff_t>(std::min(z.size(), at + step)))});
  }
  png.push_back({"IEND", {}});
  return png;
}

std::size_t first_idat(const Chunks& png) {
  std::size_t i = 0;
  while (png[i].type != "IDAT") ++i;
  return i;
}

struct Result {
  bool ok = false;
  std::string message;
  Bytes pixels;
  bool operator==(const Result&) const = default;
};

constexpr Mode kModes[] = {Mode::kRgb, Mode::kL, Mode::kRgba};
constexpr std::uint64_t kMaxPixels = 1 << 23;  // damaged sizes stay small

Result decode(const Bytes& file, Mode mode, bool libpng_only, bool apply_exif = true) {
  DecodeOptions o;
  o.mode = mode;
  o.apply_exif = apply_exif;
  o.max_pixels = kMaxPixels;
  auto info = read_header({file.data(), file.size()}, o);
  if (!info.ok()) return {false, info.error().message, {}};
  Bytes pixels(info.value().bytes());
  const Content c{file.data(), file.size()};
  auto done = libpng_only ? internal::png_libpng_decode(c, info.value(), o, pixels.data())
                          : decode_into(c, info.value(), o, pixels.data());
  if (!done.ok()) return {false, done.error().message, {}};
  return {true, "", pixels};
}

// Whether the fast path decodes the file. It only ever runs after libpng
// has read the header; where libpng refuses the header, the fast path is
// given the size in IHDR, so that its own checks are tried too.
bool fast_takes(const Bytes& file, Mode mode) {
  DecodeOptions o;
  o.mode = mode;
  o.max_pixels = kMaxPixels;
  auto header = read_header({file.data(), file.size()}, o);
  ImageInfo info = header.ok() ? header.value() : ImageInfo{Format::kPng, 0, 0, channels_of(mode)};
  if (!header.ok()) {
    if (file.size() < 24) return false;
    auto be32 = [&](std::size_t at) { return std::uint32_t{file[at]} << 24 | file[at + 1] << 16 | file[at + 2] << 8 | file[at + 3]; };
    info.width = be32(16);
    info.height = be32(20);
    if (info.bytes() > (std::size_t{1} << 26)) return false;
  }
  Bytes pixels(info.bytes());
  auto fast = internal::png_fast_decode({file.data(), file.size()}, info, o, pixels.data());
  return fast.ok() && fast.value() == internal::FastPng::kDecoded;
}

// The same outcome on both paths in every mode; returns how many modes the
// fast path took (never one libpng refuses).
int expect_same(const Bytes& file, const std::string& what, bool apply_exif = true) {
  int taken = 0;
  for (Mode m : kModes) {
    const Result libpng = decode(file, m, true, apply_exif);
    EXPECT_EQ(decode(file, m, false, apply_exif), libpng) << what << ", mode " << static_cast<int>(m);
    const bool took = fast_takes(file, m);
    EXPECT_TRUE(libpng.ok || !took) << what << ": the fast path takes what libpng refuses";
    taken += took ? 1 : 0;
  }
  return taken;
}

TEST(PngFast, EveryColourTypeFilterAndOddSizeAsLibpng) {
  const std::pair<int, bool> kinds[] = {{0, false}, {0, true}, {2, false}, {2, true},
                                        {3, false}, {3, true}, {4, false}, {6, false}};
  unsigned seed = 0;
  for (auto [color_type, trns] : kinds) {
    for (std::uint32_t w : {1u, 2u, 3u, 7u, 33u}) {
      for (std::uint32_t h : {1u, 5u}) {
        for (int filter = -1; filter <= 4; ++filter) {
          const std::string what = "type " + std::to_string(color_type) + (trns ? " tRNS" : "") + " " +
                                   std::to_string(w) + "x" + std::to_string(h) + " filter " + std::to_string(filter);
          EXPECT_EQ(expect_same(assemble(make_png(w, h, color_type, trns, filter, ++seed)), what), 3) << what;
        }
      }
    }
  }
}

TEST(PngFast, ImageDataInManyChunksAsLibpng) {
  for (std::size_t pieces : {2u, 3u, 50u, 10000u}) {
    Chunks png = make_png(40, 30, 2, false, -1, 7, pieces);
    png.insert(png.begin() + static_cast<std::ptrdiff_t>(first_idat(png)) + 1, {"IDAT", {}});  // empty ones too
    png.insert(png.begin() + static_cast<std::ptrdiff_t>(first_idat(png)), {"IDAT", {}});
    EXPECT_EQ(expect_same(assemble(png), "pieces " + std::to_string(pieces)), 3);
  }
}

TEST(PngFast, OrientationFromExifAsLibpng) {
  for (int o = 1; o <= 8; ++o) {
    Chunks png = make_png(5, 3, 2, false, -1, 11);
    // A little-endian TIFF header and one IFD entry: orientation, SHORT, 1.
    Bytes exif = {'I', 'I', 42, 0, 8, 0, 0, 0, 1, 0, 0x12, 0x01, 3, 0, 1, 0, 0, 0,
                  static_cast<std::uint8_t>(o), 0, 0, 0, 0, 0, 0, 0};
    png.insert(png.begin() + 1, {"eXIf", exif});
    for (bool apply : {true, false}) {
      EXPECT_EQ(expect_same(assemble(png), "orientation " + std::to_string(o), apply), 3);
    }
  }
}

// Files libpng refuses, warns about or reads in its own way: the fast path
// either decodes them exactly as libpng does or leaves them to it.
TEST(PngFast, OddAndDamagedFilesAsLibpng) {
  std::vector<std::pair<std::string, Chunks>> cases;
  // RGBA in three IDAT chunks and an empty one, which libpng never reads.
  Chunks base = make_png(9, 6, 6, false, -1, 3, 3);
  base.insert(base.end() - 1, {"IDAT", {}});
  const std::size_t idat = first_idat(base);
  auto with = [&](const std::string& name, auto change) {
    Chunks png = base;
    change(png);
    cases.push_back({name, png});
  };
  auto raw_of = [](std::uint32_t w, std::uint32_t h, unsigned seed) {
    std::mt19937 rng(seed);
    return filtered_rows(w, h, 4, -1, rng);
  };
  auto image_data = [&](Chunks& png, const Bytes& z) {
    png.erase(png.begin() + static_cast<std::ptrdiff_t>(idat), png.end() - 1);
    png.insert(png.end() - 1, {"IDAT", z});
  };
  with("no IEND", [](Chunks& p) { p.pop_back(); });
  with("junk after IEND", [](Chunks& p) { p.push_back({"zzZz", {1, 2}}); });
  with("IEND before IDAT", [&](Chunks& p) { p.insert(p.begin() + 1, {"IEND", {}}); });
  with("two IHDR", [&](Chunks& p) { p.insert(p.begin() + 1, p[0]); });
  with("unknown critical chunk", [&](Chunks& p) { p.insert(p.begin() + 1, {"ABCD", {1}}); });
  with("unknown ancillary chunk", [&](Chunks& p) { p.insert(p.begin() + 1, {"abCd", {1}}); });
  with("reserved bit set", [&](Chunks& p) { p.insert(p.begin() + 1, {"abcd", {1}}); });
  with("bad chunk name", [&](Chunks& p) { p.insert(p.begin() + 1, {"a1Cd", {1}}); });
  with("chunk between IDATs", [&](Chunks& p) { p.insert(p.begin() + static_cast<std::ptrdiff_t>(idat) + 1, {"tEXt", {'a', 0}}); });
  with("huge ancillary chunk", [&](Chunks& p) { p.insert(p.begin() + 1, {"tEXt", Bytes(8000001, 'a')}); });
  // IDAT chunks past libpng's general chunk limit: smaller than the rows,
  // as large (padded after the stream), larger (stored blocks of noise).
  for (int level : {1, 2, 0}) {
    with("large IDAT, level " + std::to_string(level), [&](Chunks& p) {
      std::mt19937 rng(1);
      p[0].data = header(2000, 1200, 6);
      Bytes z = zlib_of(filtered_rows(2000, 1200, 4, 0, rng, 128), level == 0 ? 0 : 1);
      if (level == 2) z.resize(8001 * 1200);
      image_data(p, z);
    });
  }
  with("width past libpng's limit", [&](Chunks& p) {
    p[0].data = header(1000001, 1, 6);
    image_data(p, zlib_of(Bytes(4000005, 0), 1));
  });
  with("16-bit", [](Chunks& p) { p[0].data[8] = 16; });
  with("interlaced", [](Chunks& p) { p[0].data[12] = 1; });
  with("filter method 64", [](Chunks& p) { p[0].data[11] = 64; });
  with("suggested PLTE", [](Chunks& p) { p.insert(p.begin() + 1, {"PLTE", {1, 2, 3}}); });
  with("short stream", [&](Chunks& p) { image_data(p, zlib_of(raw_of(9, 5, 3), 6)); });
  with("long stream", [&](Chunks& p) { image_data(p, zlib_of(raw_of(9, 7, 3), 6)); });
  with("data after the stream", [&](Chunks& p) { p[idat + 2].data.push_back(0); });
  with("bad Adler-32", [&](Chunks& p) { p[idat + 2].data.back() ^= 1; });
  with("bad Adler-32 in a chunk of its own", [&](Chunks& p) {
    Bytes& last = p[idat + 2].data;
    last.back() ^= 1;
    const Bytes adler(last.end() - 4, last.end());
    last.resize(last.size() - 4);
    p.insert(p.begin() + static_cast<std::ptrdiff_t>(idat) + 3, {"IDAT", adler});
  });
  with("filter type 5", [&](Chunks& p) { Bytes r = raw_of(9, 6, 3); r[37 * 2] = 5; image_data(p, zlib_of(r, 6)); });
  with("preset dictionary", [&](Chunks& p) { image_data(p, Bytes{0x78, 0xbb, 0, 0, 0, 1, 3, 0}); });
  for (unsigned cmf : {0x08u, 0x38u, 0x68u}) {  // windows of 256 bytes to 16 KiB
    for (std::uint32_t w : {2u, 600u}) {  // an image within the window, one past it
      const Bytes raw = raw_of(w, 6, 5);
      Bytes z = zlib_of(raw, 6);
      z[0] = static_cast<std::uint8_t>(cmf);
      z[1] = static_cast<std::uint8_t>(31 - (cmf * 256) % 31);  // FCHECK for FLEVEL 0
      with("window " + std::to_string(cmf) + " width " + std::to_string(w), [&](Chunks& p) {
        p[0].data = header(w, 6, 6);
        image_data(p, z);
      });
    }
  }
  const Chunks palette = make_png(9, 6, 3, true, -1, 4);
  const std::pair<std::string, Bytes> transparencies[] = {
      {"tRNS longer than PLTE", Bytes(201, 9)}, {"empty tRNS", {}}, {"tRNS as long as PLTE", Bytes(200, 9)}};
  for (const auto& [name, t] : transparencies) {
    Chunks p = palette;
    p[2].data = t;
    cases.push_back({name, p});
  }
  Chunks grey = make_png(9, 6, 0, false, -1, 4);
  grey.insert(grey.begin() + 1, {"PLTE", {1, 2, 3}});
  cases.push_back({"PLTE in a grey image", grey});
  cases.push_back({"no PLTE", make_png(9, 6, 3, false, -1, 4)});
  cases.back().second.erase(cases.back().second.begin() + 1);
  Chunks late = palette;
  late.insert(late.begin() + 1, {"bKGD", {0}});
  cases.push_back({"PLTE after bKGD", late});
  auto exif = [](std::uint8_t order, int o) {
    return Bytes{order, order, 42, 0, 8, 0, 0, 0, 1, 0, 0x12, 0x01, 3, 0, 1, 0, 0, 0, static_cast<std::uint8_t>(o), 0, 0, 0};
  };
  const std::pair<std::string, std::vector<Bytes>> exifs[] = {
      {"eXIf", {exif('I', 6)}}, {"two eXIf", {exif('I', 6), exif('I', 3)}}, {"eXIf of one byte", {{'I'}}},
      {"eXIf without byte order", {exif('X', 6)}}, {"eXIf then a good one", {exif('X', 6), exif('I', 3)}}};
  for (const auto& [name, blocks] : exifs) {
    Chunks p = base;
    for (const Bytes& b : blocks) p.insert(p.begin() + 1, {"eXIf", b});
    cases.push_back({name, p});
  }
  Chunks before = palette;
  std::swap(before[1], before[2]);
  cases.push_back({"tRNS before PLTE", before});
  Chunks twice = palette;
  twice.insert(twice.begin() + 2, twice[2]);
  cases.push_back({"two tRNS", twice});
  for (int color_type : {0, 2}) {
    for (const Bytes& t : {Bytes{1, 9}, Bytes{0, 9, 0}, Bytes{0, 9, 1, 8, 0, 7}, Bytes(6, 0)}) {
      Chunks p = make_png(9, 6, color_type, false, -1, 4);
      p.insert(p.begin() + 1, {"tRNS", t});
      std::string name = "type " + std::to_string(color_type) + " tRNS";
      for (std::uint8_t v : t) name.append(" ").append(std::to_string(v));
      cases.push_back({name, p});
    }
  }
  // The cases the fast path decodes itself; it leaves the others to libpng.
  const std::set<std::string> taken = {
      "no IEND", "junk after IEND", "unknown ancillary chunk", "suggested PLTE", "data after the stream",
      "window 8 width 2", "window 56 width 2", "window 104 width 2", "window 104 width 600", "eXIf",
      "tRNS as long as PLTE", "type 2 tRNS 0 0 0 0 0 0", "large IDAT, level 1",
      "large IDAT, level 2"};
  for (const auto& [name, png] : cases) {
    const Bytes file = assemble(png);
    EXPECT_EQ(expect_same(file, name), taken.count(name) == 1 ? 3 : 0) << name;
    if (file.size() > 100000) continue;  // the cases of libpng's size limits
    // Cut at and around every chunk boundary, and a CRC broken in every chunk.
    for (std::size_t i = 0, at = 8; i < png.size(); at += 12 + png[i].data.size(), ++i) {
      const std::size_t size = png[i].data.size();
      for (std::size_t n : {at - 1, at, at + 1, at + 4, at + 8, at + 8 + size / 2, at + 8 + size, at + 10 + size}) {
        expect_same(Bytes(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(n)), name + " cut at " + std::to_string(n));
      }
      Bytes broken = file;
      broken[at + 8 + size] ^= 0x40;
      expect_same(broken, name + " bad CRC in chunk " + std::to_string(i));
    }
  }
}

// Damage anywhere, with the CRCs of damaged chunks made right again half the
// time so that it reaches the image data and the rows.
TEST(PngFast, MutatedFilesAsLibpng) {
  std::mt19937 rng(99);
  const int kinds[][2] = {{0, 0}, {0, 1}, {2, 0}, {2, 1}, {3, 1}, {4, 0}, {6, 0}};
  for (int round = 0; round < 3000; ++round) {
    const auto* kind = kinds[rng() % std::size(kinds)];
    Chunks png = make_png(1 + rng() % 20, 1 + rng() % 6, kind[0], kind[1] != 0, -1, rng(), rng() % 4, rng() % 13);
    // Ancillary chunks libpng reads (and may warn about), with any content.
    static const char* const kAncillary[] = {"gAMA", "cHRM", "sRGB", "iCCP", "sBIT", "bKGD", "pHYs", "tIME",
                                             "tEXt", "zTXt", "iTXt", "hIST", "sPLT", "oFFs", "pCAL", "sCAL"};
    for (unsigned k = rng() % 3; k > 0; --k) {
      Bytes data(rng() % 24);
      for (auto& v : data) v = static_cast<std::uint8_t>(rng() % 4 == 0 ? 0 : rng());
      png.insert(png.begin() + 1 + rng() % (first_idat(png)), {kAncillary[rng() % std::size(kAncillary)], data});
    }
    Chunk& target = png[rng() % png.size()];
    const bool fix_crc = rng() % 2 == 0;
    for (unsigned k = 0, n = 1 + rng() % 3; k < n && !target.data.empty(); ++k) {
      target.data[rng() % target.data.size()] = static_cast<std::uint8_t>(rng());
    }
    if (rng() % 4 == 0) target.data.resize(rng() % (target.data.size() + 3));
    Bytes file = assemble(png);
    if (!fix_crc) file[rng() % file.size()] ^= static_cast<std::uint8_t>(1 + rng() % 255);
    expect_same(file, "round " + std::to_string(round));
  }
}

TEST(PngUnfilter, EveryPathGivesTheScalarBytes) {
  std::mt19937 rng(5);
  const internal::UnfilterPath* scalar = internal::find_unfilter("scalar");
  ASSERT_NE(scalar, nullptr);
  for (const internal::UnfilterPath& path : internal::unfilter_paths()) {
    for (std::size_t bpp = 1; bpp <= 4; ++bpp) {
      for (std::size_t size : {0u, 1u, 3u, 4u, 12u, 15u, 16u, 17u, 48u, 100u, 999u}) {
        // Small values too, where Paeth's ties are common.
        for (auto [filter, top] : {std::pair{0, 256u}, {1, 256u}, {2, 256u}, {3, 256u}, {4, 256u}, {4, 4u}}) {
          Bytes src(size), prior(size);
          for (auto& v : src) v = static_cast<std::uint8_t>(rng() % top);
          for (auto& v : prior) v = static_cast<std::uint8_t>(rng() % (2 * top));
          Bytes want(size), got(size), in_place = src;
          scalar->run(filter, bpp, src.data(), prior.data(), want.data(), size);
          path.run(filter, bpp, src.data(), prior.data(), got.data(), size);
          path.run(filter, bpp, in_place.data(), prior.data(), in_place.data(), size);
          EXPECT_EQ(got, want) << path.name << " bpp " << bpp << " size " << size << " filter " << filter;
          EXPECT_EQ(in_place, want) << path.name << " in place";
          if (filter != 4) continue;
          // Two rows at once: the second has `src` as filtered bytes and the first's result above.
          Bytes second(size), first(size), pair_in_place = src;
          scalar->run(4, bpp, src.data(), want.data(), second.data(), size);
          path.paeth_pair(bpp, src.data(), src.data(), prior.data(), first.data(), got.data(), size);
          EXPECT_EQ(first, want) << path.name << " pair";
          EXPECT_EQ(got, second) << path.name << " pair";
          Bytes in_place_2 = src;
          path.paeth_pair(bpp, pair_in_place.data(), in_place_2.data(), prior.data(), pair_in_place.data(),
                          in_place_2.data(), size);
          EXPECT_EQ(pair_in_place, want) << path.name << " pair in place";
          EXPECT_EQ(in_place_2, second) << path.name << " pair in place";
        }
      }
    }
  }
}

TEST(PngFast, ThreadsKeepTheirOwnBuffers) {
  // Sizes up and down, one past the buffers a thread keeps.
  std::vector<Bytes> files;
  for (std::uint32_t side : {3u, 400u, 2100u, 17u}) files.push_back(assemble(make_png(side, side, 6, false, -1, side, 5, 1)));
  std::vector<Bytes> expected;
  for (const Bytes& f : files) expected.push_back(decode(f, Mode::kRgba, true).pixels);
  std::vector<int> mismatches(3);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < mismatches.size(); ++t) {
    threads.emplace_back([&, t] {
      for (std::size_t k = 0; k < 4; ++k) {
        const std::size_t i = (k + t) % files.size();
        if (decode(files[i], Mode::kRgba, false).pixels != expected[i]) ++mismatches[t];
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(mismatches, std::vector<int>(3));
  EXPECT_TRUE(fast_takes(files[2], Mode::kRgba));
}

}  // namespace
}  // namespace batchaugmentor::decoding
