// The decoding layer without Python: orientation and pixel conversions
// against their definitions, EXIF parsing, limits from crafted headers,
// truncation, and decoders used from several threads at once (each with its
// own reused state). JPEGs are written here with libjpeg itself.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include <jpeglib.h>

#include "decoding/decode.h"
#include "decoding/internal/raster.h"

namespace batchaugmentor::decoding {
namespace {

using internal::Layout;

std::vector<std::uint8_t> write_jpeg(int width, int height, int components, bool progressive) {
  jpeg_compress_struct c;
  jpeg_error_mgr err;
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  unsigned char* out = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &out, &size);
  c.image_width = static_cast<JDIMENSION>(width);
  c.image_height = static_cast<JDIMENSION>(height);
  c.input_components = components;
  c.in_color_space = components == 1 ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_set_defaults(&c);
  if (progressive) jpeg_simple_progression(&c);
  jpeg_start_compress(&c, TRUE);
  std::vector<std::uint8_t> row(static_cast<std::size_t>(width * components));
  while (c.next_scanline < c.image_height) {
    for (int x = 0; x < width * components; ++x) {
      row[static_cast<std::size_t>(x)] = static_cast<std::uint8_t>((x * 7 + static_cast<int>(c.next_scanline) * 3) & 0xff);
    }
    JSAMPROW r = row.data();
    jpeg_write_scanlines(&c, &r, 1);
  }
  jpeg_finish_compress(&c);
  std::vector<std::uint8_t> data(out, out + size);
  jpeg_destroy_compress(&c);
  std::free(out);
  return data;
}

Outcome<std::vector<std::uint8_t>> decode(const std::vector<std::uint8_t>& data, const DecodeOptions& o) {
  auto info = read_header({data.data(), data.size()}, o);
  if (!info.ok()) return info.error();
  std::vector<std::uint8_t> pixels(info.value().bytes());
  auto done = decode_into({data.data(), data.size()}, info.value(), o, pixels.data());
  if (!done.ok()) return done.error();
  return pixels;
}

TEST(Orientation, EveryOrientationMovesPixelsAsExifDefines) {
  // A 3x2 grey raster whose pixel (x, y) holds 10 * y + x.
  const std::uint32_t w = 3, h = 2;
  std::array<std::uint8_t, 6> stored{};
  for (std::uint32_t y = 0; y < h; ++y)
    for (std::uint32_t x = 0; x < w; ++x) stored[y * w + x] = static_cast<std::uint8_t>(10 * y + x);
  for (int o = 1; o <= 8; ++o) {
    const bool swap = o >= 5;
    const std::uint32_t ow = swap ? h : w, oh = swap ? w : h;
    std::array<std::uint8_t, 6> out{};
    internal::convert_oriented({stored.data(), Layout::kGray, w, h}, Mode::kL, o, out.data());
    for (std::uint32_t y = 0; y < oh; ++y) {
      for (std::uint32_t x = 0; x < ow; ++x) {
        // Where result pixel (x, y) comes from in the stored raster.
        std::uint32_t sx = x, sy = y;
        switch (o) {
          case 2: sx = w - 1 - x; break;
          case 3: sx = w - 1 - x; sy = h - 1 - y; break;
          case 4: sy = h - 1 - y; break;
          case 5: sx = y; sy = x; break;
          case 6: sx = y; sy = h - 1 - x; break;
          case 7: sx = w - 1 - y; sy = h - 1 - x; break;
          case 8: sx = w - 1 - y; sy = x; break;
          default: break;
        }
        EXPECT_EQ(out[y * ow + x], stored[sy * w + sx]) << "orientation " << o << " at " << x << "," << y;
      }
    }
  }
}

TEST(Conversion, LumaAndInkAndAlpha) {
  const std::uint8_t rgb[3] = {255, 128, 0};
  std::uint8_t l = 0;
  internal::convert_oriented({rgb, Layout::kRgb, 1, 1}, Mode::kL, 1, &l);
  EXPECT_EQ(l, (255u * 19595 + 128u * 38470 + 32768) >> 16);
  const std::uint8_t cmyk[4] = {0, 255, 128, 64};  // ink amounts
  std::uint8_t out[4] = {};
  internal::convert_oriented({cmyk, Layout::kCmyk, 1, 1}, Mode::kRgba, 1, out);
  EXPECT_EQ(out[0], 191);  // 255 * 191 / 255
  EXPECT_EQ(out[1], 0);
  EXPECT_EQ(out[2], 95);   // 127 * 191 / 255 = 95.1, rounded
  EXPECT_EQ(out[3], 255);
  const std::uint8_t inverted[4] = {255, 0, 127, 191};  // as Adobe stores them
  std::uint8_t same[3] = {};
  internal::convert_oriented({inverted, Layout::kCmykInverted, 1, 1}, Mode::kRgb, 1, same);
  EXPECT_EQ((std::array<int, 3>{same[0], same[1], same[2]}), (std::array<int, 3>{191, 0, 95}));
}

std::vector<std::uint8_t> tiff_with_orientation(bool little, unsigned value) {
  auto u16 = [&](std::vector<std::uint8_t>& b, unsigned v) {
    if (little) { b.push_back(v & 0xff); b.push_back(v >> 8); } else { b.push_back(v >> 8); b.push_back(v & 0xff); }
  };
  std::vector<std::uint8_t> b = {'E', 'x', 'i', 'f', 0, 0};
  b.push_back(little ? 'I' : 'M');
  b.push_back(little ? 'I' : 'M');
  u16(b, 42);
  u16(b, 0); u16(b, 0);
  b[little ? 10 : 13] = 8;  // IFD0 right after the header
  u16(b, 2);                // two entries: another tag, then orientation
  u16(b, 0x010f); u16(b, 2); u16(b, 1); u16(b, 0); u16(b, 0); u16(b, 0);
  u16(b, 0x0112); u16(b, 3); u16(b, little ? 1 : 0); u16(b, little ? 0 : 1); u16(b, value); u16(b, 0);
  return b;
}

TEST(Exif, OrientationInEitherByteOrderWithOrWithoutPrefix) {
  for (bool little : {true, false}) {
    for (unsigned v = 1; v <= 8; ++v) {
      auto block = tiff_with_orientation(little, v);
      EXPECT_EQ(internal::exif_orientation(block.data(), block.size()), static_cast<int>(v));
      EXPECT_EQ(internal::exif_orientation(block.data() + 6, block.size() - 6), static_cast<int>(v));
    }
  }
  auto bad = tiff_with_orientation(true, 9);
  EXPECT_EQ(internal::exif_orientation(bad.data(), bad.size()), 1);
  auto block = tiff_with_orientation(true, 6);
  for (std::size_t n = 0; n < block.size(); ++n) {
    const int o = internal::exif_orientation(block.data(), n);  // every cut is read safely
    EXPECT_TRUE(o == 1 || (n == block.size() - 2 && o == 6));
  }
}

TEST(Sniff, FromContentOnly) {
  const std::uint8_t jpeg[] = {0xff, 0xd8, 0xff, 0xe0};
  const std::uint8_t png[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  const std::uint8_t webp[] = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'E', 'B', 'P'};
  const std::uint8_t gif[] = {'G', 'I', 'F', '8', '9', 'a'};
  EXPECT_EQ(sniff({jpeg, sizeof jpeg}).value(), Format::kJpeg);
  EXPECT_EQ(sniff({png, sizeof png}).value(), Format::kPng);
  EXPECT_EQ(sniff({webp, sizeof webp}).value(), Format::kWebp);
  EXPECT_FALSE(sniff({gif, sizeof gif}).ok());
  EXPECT_FALSE(sniff({nullptr, 0}).ok());
}

TEST(Limits, AHugeJpegHeaderIsRefusedBeforeDecoding) {
  // SOI, a baseline frame of 65500 x 65500 with three components, a scan header.
  const std::vector<std::uint8_t> header = {
      0xff, 0xd8, 0xff, 0xc0, 0, 17, 8, 0xff, 0xdc, 0xff, 0xdc, 3, 1, 0x22, 0, 2, 0x11, 1, 3, 0x11, 1,
      0xff, 0xda, 0, 12, 3, 1, 0, 2, 0x11, 3, 0x11, 0, 63, 0, 0, 0, 0xff, 0xd9};
  auto info = read_header({header.data(), header.size()}, DecodeOptions{});
  ASSERT_FALSE(info.ok());
  EXPECT_STREQ(info.error().message, "image is larger than the pixel limit");
  DecodeOptions unlimited;
  unlimited.max_pixels = UINT64_MAX;
  auto seen = read_header({header.data(), header.size()}, unlimited);
  ASSERT_TRUE(seen.ok());
  EXPECT_EQ(seen.value().width, 65500u);
}

TEST(Jpeg, ScalesKeepBothSidesAtLeastTheMinimum) {
  auto data = write_jpeg(200, 120, 3, false);
  DecodeOptions o;
  o.reduce = true;
  for (auto [mw, mh, w, h] : std::vector<std::array<std::uint32_t, 4>>{
           {25, 15, 25, 15}, {26, 15, 50, 30}, {60, 31, 100, 60}, {101, 1, 200, 120}}) {
    o.min_width = mw;
    o.min_height = mh;
    auto info = read_header({data.data(), data.size()}, o);
    ASSERT_TRUE(info.ok());
    EXPECT_EQ(info.value().width, w);
    EXPECT_EQ(info.value().height, h);
    EXPECT_TRUE(decode(data, o).ok());
  }
}

TEST(Jpeg, EveryTruncationIsRefusedAndNeverCrashes) {
  for (bool progressive : {false, true}) {
    auto data = write_jpeg(40, 24, 3, progressive);
    ASSERT_TRUE(decode(data, {}).ok());
    for (std::size_t n = 0; n + 2 < data.size(); n += 7) {
      std::vector<std::uint8_t> cut(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(n));
      auto r = decode(cut, {});
      EXPECT_FALSE(r.ok()) << "cut at " << n << (progressive ? " (progressive)" : "");
    }
  }
}

TEST(Jpeg, ThreadsDecodeAtOnceWithTheirOwnStates) {
  auto colour = write_jpeg(64, 48, 3, true);
  auto grey = write_jpeg(33, 17, 1, false);
  auto expected_colour = decode(colour, {}).value();
  auto expected_grey = decode(grey, {}).value();
  std::vector<std::thread> threads;
  std::array<int, 4> mismatches{};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int k = 0; k < 50; ++k) {
        const bool c = (k + t) % 2 == 0;
        auto r = decode(c ? colour : grey, {});
        if (!r.ok() || r.value() != (c ? expected_colour : expected_grey)) ++mismatches[static_cast<std::size_t>(t)];
        std::vector<std::uint8_t> broken(colour.begin(), colour.begin() + 100);
        if (decode(broken, {}).ok()) ++mismatches[static_cast<std::size_t>(t)];  // a failure leaves the state reusable
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(mismatches, (std::array<int, 4>{}));
}

}  // namespace
}  // namespace batchaugmentor::decoding
