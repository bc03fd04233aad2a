// Decoding part of a JPEG (decode_box) against decoding all of it: every
// box, on every subsampling, scale and scan order, must hold the bytes of
// the whole decode; content cut short outside the box is refused as a
// whole decode refuses it.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

#include <jpeglib.h>

#include "decoding/decode.h"
#include "fitting/fit.h"

namespace batchaugmentor::decoding {
namespace {

struct Shape {
  int width, height;
  int h_sampling, v_sampling;  // of the luma component: 2, 2 is 4:2:0
  bool progressive;
};

std::vector<std::uint8_t> write_jpeg(const Shape& shape) {
  jpeg_compress_struct c;
  jpeg_error_mgr err;
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  unsigned char* out = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &out, &size);
  c.image_width = static_cast<JDIMENSION>(shape.width);
  c.image_height = static_cast<JDIMENSION>(shape.height);
  c.input_components = 3;
  c.in_color_space = JCS_RGB;
  jpeg_set_defaults(&c);
  c.comp_info[0].h_samp_factor = shape.h_sampling;
  c.comp_info[0].v_samp_factor = shape.v_sampling;
  if (shape.progressive) jpeg_simple_progression(&c);
  jpeg_start_compress(&c, TRUE);
  std::mt19937 noise(7);
  std::vector<std::uint8_t> row(static_cast<std::size_t>(shape.width) * 3);
  while (c.next_scanline < c.image_height) {
    const int y = static_cast<int>(c.next_scanline);
    for (int x = 0; x < shape.width; ++x) {
      // Colour edges every few pixels, so that chroma smoothing differs
      // wherever a neighbour is missing.
      row[x * 3 + 0] = static_cast<std::uint8_t>(((x / 5 + y / 3) & 1) * 200 + noise() % 40);
      row[x * 3 + 1] = static_cast<std::uint8_t>((x * 9 + y * 4) & 0xff);
      row[x * 3 + 2] = static_cast<std::uint8_t>(((x / 3) & 1) ? 250 - y % 50 : noise() % 90);
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

std::vector<std::uint8_t> decode_whole(const std::vector<std::uint8_t>& data, const DecodeOptions& o,
                                       ImageInfo* info) {
  auto header = read_header({data.data(), data.size()}, o);
  EXPECT_TRUE(header.ok());
  *info = header.value();
  std::vector<std::uint8_t> pixels(info->bytes());
  EXPECT_TRUE(decode_into({data.data(), data.size()}, *info, o, pixels.data()).ok());
  return pixels;
}

class DecodeBox : public ::testing::TestWithParam<std::tuple<Shape, int>> {};

TEST_P(DecodeBox, HoldsTheBytesOfTheWholeDecode) {
  const auto [shape, denom] = GetParam();
  const auto data = write_jpeg(shape);
  DecodeOptions o;
  o.reduce = denom > 1;
  o.min_width = static_cast<std::uint32_t>((shape.width + denom - 1) / denom);
  o.min_height = 1;
  ImageInfo info;
  const auto whole = decode_whole(data, o, &info);
  ASSERT_EQ(info.scale_denom, denom);
  std::mt19937 pick(static_cast<unsigned>(shape.width * 131 + shape.height + denom));
  std::vector<Box> boxes = {{0, 0, info.width, info.height}, {0, 0, 1, 1},
                            {info.width - 1, info.height - 1, 1, 1}};
  for (int k = 0; k < 40; ++k) {
    Box b;
    b.x = pick() % info.width;
    b.y = pick() % info.height;
    b.width = 1 + pick() % (info.width - b.x);
    b.height = 1 + pick() % (info.height - b.y);
    boxes.push_back(b);
  }
  OwnedBuffer scratch;  // reused from box to box, as the workers do
  for (const Box& b : boxes) {
    auto view = decode_box({data.data(), data.size()}, info, o, b, scratch);
    ASSERT_TRUE(view.ok());
    const ImageView& v = view.value();
    ASSERT_EQ(v.shape[0], b.height);
    ASSERT_EQ(v.shape[1], b.width);
    for (std::uint32_t y = 0; y < b.height; ++y) {
      for (std::uint32_t x = 0; x < b.width; ++x) {
        for (std::size_t c = 0; c < 3; ++c) {
          const std::uint8_t expected = whole[((std::size_t{b.y} + y) * info.width + b.x + x) * 3 + c];
          ASSERT_EQ(*image_at(v, y, x, c), expected)
              << "box " << b.x << "," << b.y << " " << b.width << "x" << b.height << " at " << x << "," << y;
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Subsamplings, DecodeBox,
    ::testing::Values(std::make_tuple(Shape{203, 97, 2, 2, false}, 1), std::make_tuple(Shape{203, 97, 2, 1, false}, 1),
                      std::make_tuple(Shape{203, 97, 1, 2, false}, 1), std::make_tuple(Shape{203, 97, 1, 1, false}, 1),
                      std::make_tuple(Shape{90, 211, 2, 2, true}, 1), std::make_tuple(Shape{203, 97, 2, 2, false}, 2),
                      std::make_tuple(Shape{400, 260, 2, 2, false}, 4), std::make_tuple(Shape{400, 260, 2, 1, true}, 8)));

TEST(DecodeBoxTruncation, ContentCutBelowTheBoxIsRefusedAsAWholeDecodeIs) {
  for (bool progressive : {false, true}) {
    const auto data = write_jpeg({64, 600, 2, 2, progressive});
    DecodeOptions o;
    auto info = read_header({data.data(), data.size()}, o);
    ASSERT_TRUE(info.ok());
    OwnedBuffer scratch;
    std::vector<std::uint8_t> whole(info.value().bytes());
    for (std::size_t keep : {data.size() * 3 / 4, data.size() - 40}) {
      const Content cut{data.data(), keep};
      const bool whole_ok = decode_into(cut, info.value(), o, whole.data()).ok();
      auto part = decode_box(cut, info.value(), o, Box{0, 0, 64, 64}, scratch);
      EXPECT_EQ(part.ok(), whole_ok) << "progressive " << progressive << " keep " << keep;
    }
  }
}

TEST(FittedBox, LargestCentredBoxOfTheTargetShape) {
  using fitting::Fit;
  using fitting::FitTarget;
  struct Case {
    std::uint32_t w, h;
    FitTarget t;
    Box expected;
  };
  const Case cases[] = {
      {1920, 1080, {224, 224, Fit::kCrop}, {420, 0, 1080, 1080}},
      {1080, 1920, {224, 224, Fit::kCrop}, {0, 420, 1080, 1080}},
      {1920, 1080, {224, 224, Fit::kStretch}, {0, 0, 1920, 1080}},
      {1000, 1000, {300, 200, Fit::kCrop}, {0, 166, 1000, 667}},   // 666.67 rounds up
      {1001, 10, {2, 1, Fit::kCrop}, {490, 0, 20, 10}},
      {1, 1000, {1000, 1, Fit::kCrop}, {0, 499, 1, 1}},            // never less than a pixel
      {4000, 3000, {4000, 3000, Fit::kCrop}, {0, 0, 4000, 3000}},
      {4294967295u, 1, {4294967295u, 4294967295u, Fit::kCrop}, {2147483647u, 0, 1, 1}},
  };
  for (const Case& c : cases) {
    const Box b = fitting::fitted_box(c.w, c.h, c.t);
    EXPECT_EQ(b.x, c.expected.x) << c.w << "x" << c.h;
    EXPECT_EQ(b.y, c.expected.y) << c.w << "x" << c.h;
    EXPECT_EQ(b.width, c.expected.width) << c.w << "x" << c.h;
    EXPECT_EQ(b.height, c.expected.height) << c.w << "x" << c.h;
  }
}

}  // namespace
}  // namespace batchaugmentor::decoding
