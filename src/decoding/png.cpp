// PNG through libpng: every header, and the pixels of whatever the fast path
// (png_fast.cpp) declines. libpng reports errors by longjmp to the setjmp in
// run_header or run_decode; those functions and the callbacks hold only
// plain C data, and everything that owns memory lives in their callers.
// libpng has no way to reset a reader for new content, so each image gets
// a fresh one (a few small allocations next to the pixels).
#include <csetjmp>
#include <cstddef>
#include <cstring>

#include <png.h>

#include "common/buffer.h"
#include "decoding/internal/formats.h"
#include "decoding/internal/png_fast.h"
#include "decoding/internal/raster.h"

namespace batchaugmentor::decoding::internal {
namespace {

struct Source {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t at;
};

void on_read(png_structp png, png_bytep out, size_t n) {
  auto* src = static_cast<Source*>(png_get_io_ptr(png));
  if (n > src->size - src->at) png_error(png, "truncated");
  std::memcpy(out, src->data + src->at, n);
  src->at += n;
}

[[noreturn]] void on_error(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void on_warning(png_structp, png_const_charp) {}

struct PngFacts {
  std::uint32_t width;
  std::uint32_t height;
  int color_type;
  int bit_depth;
  bool trns;
  int orientation;
};

// The reader, made and destroyed around each run: plain pointers only.
struct Reader {
  png_structp png;
  png_infop info;
  Source source;
};

bool open_reader(Reader* r, const std::uint8_t* data, std::size_t size) {
  r->source = {data, size, 0};
  r->info = nullptr;
  r->png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, on_error, on_warning);
  if (r->png == nullptr) return false;
  r->info = png_create_info_struct(r->png);
  if (r->info == nullptr) {
    png_destroy_read_struct(&r->png, nullptr, nullptr);
    return false;
  }
  png_set_read_fn(r->png, &r->source, on_read);
  return true;
}

void close_reader(Reader* r) { png_destroy_read_struct(&r->png, &r->info, nullptr); }

// Reads the chunks up to the first image data; false on any error.
bool read_facts(Reader* r, PngFacts* out) {
  png_uint_32 w = 0, h = 0;
  int depth = 0, color = 0;
  png_read_info(r->png, r->info);
  png_get_IHDR(r->png, r->info, &w, &h, &depth, &color, nullptr, nullptr, nullptr);
  out->width = w;
  out->height = h;
  out->bit_depth = depth;
  out->color_type = color;
  out->trns = png_get_valid(r->png, r->info, PNG_INFO_tRNS) != 0;
  out->orientation = 1;
#ifdef PNG_eXIf_SUPPORTED
  png_uint_32 exif_size = 0;
  png_bytep exif = nullptr;
  if (png_get_eXIf_1(r->png, r->info, &exif_size, &exif) != 0 && exif != nullptr) {
    out->orientation = exif_orientation(exif, exif_size);
  }
#endif
  return true;
}

int run_header(const std::uint8_t* data, std::size_t size, PngFacts* out) {
  Reader r;
  if (!open_reader(&r, data, size)) return 2;
  if (setjmp(png_jmpbuf(r.png))) {
    close_reader(&r);
    return 1;
  }
  read_facts(&r, out);
  close_reader(&r);
  return 0;
}

struct DecodeJob {
  Mode mode;            // what libpng is set to write: kRgb, kRgba or kL (grey content only)
  std::uint32_t width;
  std::uint32_t height;
  std::size_t row_bytes;
  png_bytep* rows;      // height row pointers
};

int run_decode(const std::uint8_t* data, std::size_t size, const DecodeJob* job) {
  Reader r;
  PngFacts facts;
  if (!open_reader(&r, data, size)) return 2;
  if (setjmp(png_jmpbuf(r.png))) {
    close_reader(&r);
    return 1;
  }
  read_facts(&r, &facts);
  if (facts.width != job->width || facts.height != job->height) png_error(r.png, "changed");
  const bool grey = (facts.color_type & PNG_COLOR_MASK_COLOR) == 0;
  if (facts.color_type == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(r.png);
  if (grey && facts.bit_depth < 8) png_set_expand_gray_1_2_4_to_8(r.png);
  // 16-bit samples keep their high byte, as in Pillow.
  if (facts.bit_depth == 16) png_set_strip_16(r.png);
  if (job->mode == Mode::kRgba) {
    if (facts.trns) png_set_tRNS_to_alpha(r.png);
    if (grey) png_set_gray_to_rgb(r.png);
    png_set_add_alpha(r.png, 0xff, PNG_FILLER_AFTER);
  } else {
    png_set_strip_alpha(r.png);
    if (grey && job->mode == Mode::kRgb) png_set_gray_to_rgb(r.png);
  }
  png_set_interlace_handling(r.png);
  png_read_update_info(r.png, r.info);
  if (png_get_rowbytes(r.png, r.info) != job->row_bytes) png_error(r.png, "layout");
  png_read_image(r.png, job->rows);
  close_reader(&r);
  return 0;
}

OperationError png_failure(int code) {
  if (code == 2) return OperationError::out_of_memory();
  return OperationError::refused("corrupt or truncated PNG data");
}

}  // namespace

Outcome<ImageInfo> png_header(Content content, const DecodeOptions& options) {
  PngFacts facts{};
  if (int code = run_header(content.data, content.size, &facts); code != 0) return png_failure(code);
  if (!within_pixel_limit(facts.width, facts.height, options)) return past_pixel_limit();
  ImageInfo info;
  info.format = Format::kPng;
  info.orientation = options.apply_exif ? facts.orientation : 1;
  info.channels = channels_of(options.mode);
  info.width = facts.width;
  info.height = facts.height;
  if (swaps_sides(info.orientation)) std::swap(info.width, info.height);
  return info;
}

Outcome<> png_libpng_decode(Content content, const ImageInfo& info, const DecodeOptions& options,
                            std::uint8_t* out) {
  PngFacts facts{};
  if (int code = run_header(content.data, content.size, &facts); code != 0) return png_failure(code);
  const bool grey = (facts.color_type & PNG_COLOR_MASK_COLOR) == 0;
  DecodeJob job{};
  job.width = facts.width;
  job.height = facts.height;
  // Colour content for L is read as RGB and turned into luma here.
  job.mode = options.mode == Mode::kL && !grey ? Mode::kRgb : options.mode;
  const Layout layout = job.mode == Mode::kRgb ? Layout::kRgb : job.mode == Mode::kRgba ? Layout::kRgba : Layout::kGray;
  job.row_bytes = std::size_t{job.width} * static_cast<std::size_t>(layout_channels(layout));
  const bool direct = info.orientation == 1 && job.mode == options.mode;
  OwnedBuffer scratch;
  std::uint8_t* target = out;
  if (!direct) {
    std::size_t bytes = 0;
    if (!checked_mul(job.row_bytes, job.height, &bytes)) return OperationError::out_of_memory();
    auto made = OwnedBuffer::allocate(bytes);
    if (!made.ok()) return made.error();
    scratch = std::move(made).value();
    target = scratch.data();
  }
  auto pointers = OwnedBuffer::allocate(std::size_t{job.height} * sizeof(png_bytep));
  if (!pointers.ok()) return pointers.error();
  job.rows = reinterpret_cast<png_bytep*>(pointers.value().data());
  for (std::uint32_t y = 0; y < job.height; ++y) job.rows[y] = target + std::size_t{y} * job.row_bytes;
  if (int code = run_decode(content.data, content.size, &job); code != 0) return png_failure(code);
  if (!direct) convert_oriented({target, layout, job.width, job.height}, options.mode, info.orientation, out);
  return Done{};
}

Outcome<> png_decode(Content content, const ImageInfo& info, const DecodeOptions& options, std::uint8_t* out) {
  auto fast = png_fast_decode(content, info, options, out);
  if (!fast.ok()) return fast.error();
  if (fast.value() == FastPng::kDecoded) return Done{};
  return png_libpng_decode(content, info, options, out);
}

}  // namespace batchaugmentor::decoding::internal
