// JPEG through libjpeg-turbo's libjpeg interface. The library reports errors
// by calling error_exit, which must not return: it longjmps back to the
// setjmp in run_header or run_decode. Those two functions, and the callbacks,
// hold only plain C data, so no destructor is ever skipped; everything that
// owns memory lives in the callers, outside the jumps.
#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include <jerror.h>
#include <jpeglib.h>

#include "common/buffer.h"
#include "decoding/internal/formats.h"
#include "decoding/internal/raster.h"

namespace batchaugmentor::decoding::internal {
namespace {

// Codes of our own next to libjpeg's message codes.
constexpr int kOk = 0;
constexpr int kTooManyScans = -1;
constexpr int kShapeChanged = -2;
constexpr int kNoState = -3;

struct ErrorManager {
  jpeg_error_mgr pub;  // first: libjpeg sees only this part
  std::jmp_buf jump;
  int code;
  const char* literal;  // libjpeg's text for the code when it has no format fields
};

// The content, with an end marker of its own once it runs out (libjpeg's
// memory source does the same, but warns at once: a baseline JPEG missing
// only its end marker would be refused though every pixel is there).
struct Source {
  jpeg_source_mgr pub;  // first
  int ends;             // times the content ran out
};

struct JpegState {
  jpeg_decompress_struct cinfo;
  ErrorManager err;
  jpeg_progress_mgr progress;
  Source source;
  bool ready = false;
  JpegState() = default;
  JpegState(const JpegState&) = delete;
  JpegState& operator=(const JpegState&) = delete;
  ~JpegState() {
    if (ready) jpeg_destroy_decompress(&cinfo);
  }
};

[[noreturn]] void jump_out(j_common_ptr c, int code) {
  auto* e = reinterpret_cast<ErrorManager*>(c->err);
  e->code = code;
  e->literal = nullptr;
  if (code > 0 && code < c->err->last_jpeg_message && c->err->jpeg_message_table != nullptr) {
    const char* text = c->err->jpeg_message_table[code];
    if (text != nullptr && std::strchr(text, '%') == nullptr) e->literal = text;
  }
  std::longjmp(e->jump, 1);
}

void on_error(j_common_ptr c) { jump_out(c, c->err->msg_code); }

void source_start(j_decompress_ptr) {}
void source_end(j_decompress_ptr) {}

boolean source_fill(j_decompress_ptr d) {
  static const JOCTET kEnd[2] = {0xff, JPEG_EOI};
  auto* src = reinterpret_cast<Source*>(d->src);
  ++src->ends;
  src->pub.next_input_byte = kEnd;
  src->pub.bytes_in_buffer = 2;
  return TRUE;
}

void source_skip(j_decompress_ptr d, long count) {
  if (count <= 0) return;
  auto* src = reinterpret_cast<Source*>(d->src);
  auto n = static_cast<std::size_t>(count);
  while (n > src->pub.bytes_in_buffer) {
    n -= src->pub.bytes_in_buffer;
    source_fill(d);
  }
  src->pub.next_input_byte += n;
  src->pub.bytes_in_buffer -= n;
}

void set_source(JpegState* s, const std::uint8_t* data, std::size_t size) {
  s->source.pub.next_input_byte = data;
  s->source.pub.bytes_in_buffer = size;
  s->source.ends = 0;
  s->cinfo.src = &s->source.pub;
}

// Warnings that mean the pixels are not all there: decoding on would fill
// the rest with grey and call it a success.
void on_message(j_common_ptr c, int level) {
  if (level != -1) return;
  const int code = c->err->msg_code;
  if (code == JWRN_JPEG_EOF || code == JWRN_HIT_MARKER || code == JWRN_HUFF_BAD_CODE ||
      code == JWRN_MUST_RESYNC || code == JWRN_NOT_SEQUENTIAL) {
    jump_out(c, code);
  }
}

void on_output(j_common_ptr) {}  // nothing goes to stderr

void on_progress(j_common_ptr c) {
  if (!c->is_decompressor) return;
  if (reinterpret_cast<j_decompress_ptr>(c)->input_scan_number > static_cast<int>(kMaxScans)) {
    jump_out(c, kTooManyScans);
  }
}

// The worker's decoder, made on first use and kept for the thread's life.
thread_local JpegState t_state;

int create_state(JpegState* s) {
  if (s->ready) return kOk;
  s->cinfo.err = jpeg_std_error(&s->err.pub);
  s->err.pub.error_exit = on_error;
  s->err.pub.emit_message = on_message;
  s->err.pub.output_message = on_output;
  if (setjmp(s->err.jump)) return s->err.code;
  jpeg_create_decompress(&s->cinfo);
  s->source.pub.init_source = source_start;
  s->source.pub.fill_input_buffer = source_fill;
  s->source.pub.skip_input_data = source_skip;
  s->source.pub.resync_to_restart = jpeg_resync_to_restart;
  s->source.pub.term_source = source_end;
  s->progress.progress_monitor = on_progress;
  s->cinfo.progress = &s->progress;
  s->ready = true;
  return kOk;
}

struct HeaderFacts {
  std::uint32_t width;
  std::uint32_t height;
  int components;
  J_COLOR_SPACE space;
  bool adobe;
  int orientation;
};

int run_header(JpegState* s, const std::uint8_t* data, std::size_t size, HeaderFacts* out) {
  if (setjmp(s->err.jump)) {
    jpeg_abort_decompress(&s->cinfo);
    return s->source.ends > 0 && s->err.code != kTooManyScans ? static_cast<int>(JWRN_JPEG_EOF) : s->err.code;
  }
  set_source(s, data, size);
  jpeg_save_markers(&s->cinfo, JPEG_APP0 + 1, 0xffff);
  jpeg_read_header(&s->cinfo, TRUE);
  out->width = s->cinfo.image_width;
  out->height = s->cinfo.image_height;
  out->components = s->cinfo.num_components;
  out->space = s->cinfo.jpeg_color_space;
  out->adobe = s->cinfo.saw_Adobe_marker != 0;
  out->orientation = 1;
  for (jpeg_saved_marker_ptr m = s->cinfo.marker_list; m != nullptr; m = m->next) {
    if (m->marker == JPEG_APP0 + 1 && m->data_length >= 6 && std::memcmp(m->data, "Exif\0\0", 6) == 0) {
      out->orientation = exif_orientation(m->data, m->data_length);
      break;
    }
  }
  jpeg_abort_decompress(&s->cinfo);
  return kOk;
}

struct DecodeJob {
  J_COLOR_SPACE out_space;
  int scale_denom;
  std::uint32_t width;  // as stored at this scale
  std::uint32_t height;
  int components;
  std::uint8_t* rows;   // the rows decoded, each of `columns` pixels, no gaps,
                        // and room for one more when end_row < height
  // The part to decode: rows [first_row, end_row) and columns [first_column,
  // first_column + columns). libjpeg moves first_column down to a block
  // boundary and widens `columns` to match; run_decode writes back what it used.
  std::uint32_t first_row;
  std::uint32_t end_row;
  std::uint32_t first_column;
  std::uint32_t columns;
};

int run_decode(JpegState* s, const std::uint8_t* data, std::size_t size, DecodeJob* job) {
  if (setjmp(s->err.jump)) {
    jpeg_abort_decompress(&s->cinfo);
    return s->source.ends > 0 && s->err.code != kTooManyScans ? static_cast<int>(JWRN_JPEG_EOF) : s->err.code;
  }
  set_source(s, data, size);
  jpeg_read_header(&s->cinfo, TRUE);
  s->cinfo.out_color_space = job->out_space;
  s->cinfo.scale_num = 1;
  s->cinfo.scale_denom = static_cast<unsigned>(job->scale_denom);
  s->cinfo.dct_method = JDCT_ISLOW;
  s->cinfo.do_fancy_upsampling = TRUE;
  jpeg_start_decompress(&s->cinfo);
  if (s->cinfo.output_width != job->width || s->cinfo.output_height != job->height ||
      s->cinfo.output_components != job->components) {
    jpeg_abort_decompress(&s->cinfo);
    return kShapeChanged;
  }
  if (job->columns < job->width) {
    JDIMENSION first = job->first_column, count = job->columns;
    jpeg_crop_scanline(&s->cinfo, &first, &count);
    job->first_column = first;
    job->columns = count;
  }
  // Rows outside the part are still read (libjpeg skips only their colour
  // work), so that content cut short below the part is refused as it would
  // be in a whole decode.
  if (job->first_row > 0) jpeg_skip_scanlines(&s->cinfo, job->first_row);
  const std::size_t stride = std::size_t{job->columns} * static_cast<std::size_t>(job->components);
  JSAMPROW rows[16];
  while (s->cinfo.output_scanline < job->end_row) {
    const JDIMENSION at = s->cinfo.output_scanline;
    JDIMENSION n = job->end_row - at;
    if (n > 16) n = 16;
    for (JDIMENSION k = 0; k < n; ++k) rows[k] = job->rows + (std::size_t{at - job->first_row} + k) * stride;
    jpeg_read_scanlines(&s->cinfo, rows, n);
  }
  // Skipping to the very end would not read the rest at all: the last row
  // is decoded, into the row after the part.
  if (s->cinfo.output_scanline < s->cinfo.output_height) {
    const JDIMENSION rest = s->cinfo.output_height - s->cinfo.output_scanline;
    if (rest > 1) jpeg_skip_scanlines(&s->cinfo, rest - 1);
    rows[0] = job->rows + std::size_t{job->end_row - job->first_row} * stride;
    jpeg_read_scanlines(&s->cinfo, rows, 1);
  }
  // A progressive JPEG that ran out may just be missing its last scans,
  // which libjpeg cannot tell from an image that had no more; a sequential
  // one that ran out needed no bit past the end (or HIT_MARKER would have
  // stopped it), so only its end marker was missing.
  const bool cut = s->source.ends > 0 && s->cinfo.progressive_mode;
  jpeg_abort_decompress(&s->cinfo);
  return cut ? static_cast<int>(JWRN_JPEG_EOF) : kOk;
}

OperationError jpeg_error(int code, const char* literal) {
  switch (code) {
    case kTooManyScans: return OperationError::refused("JPEG has more progressive scans than the limit");
    case kShapeChanged: return OperationError::refused("JPEG changed between its header and its decoding");
    case kNoState: return OperationError::out_of_memory();
    case JERR_OUT_OF_MEMORY: return OperationError::out_of_memory();
    case JWRN_JPEG_EOF: return OperationError::refused("truncated JPEG data");
    default: break;
  }
  return OperationError::refused(literal != nullptr ? literal : "corrupt JPEG data");
}

bool is_cmyk(J_COLOR_SPACE space) { return space == JCS_CMYK || space == JCS_YCCK; }

std::uint32_t scaled(std::uint32_t side, int denom) {
  return static_cast<std::uint32_t>((std::uint64_t{side} + static_cast<unsigned>(denom) - 1) / static_cast<unsigned>(denom));
}

}  // namespace

Outcome<ImageInfo> jpeg_header(Content content, const DecodeOptions& options) {
  JpegState* s = &t_state;
  if (int code = create_state(s); code != kOk) return jpeg_error(code == 0 ? kNoState : code, nullptr);
  HeaderFacts facts{};
  if (int code = run_header(s, content.data, content.size, &facts); code != kOk) {
    return jpeg_error(code, s->err.literal);
  }
  if (!within_pixel_limit(facts.width, facts.height, options)) return past_pixel_limit();
  if (facts.components != 1 && facts.components != 3 && !(facts.components == 4 && is_cmyk(facts.space))) {
    return OperationError::refused("unsupported JPEG colour space");
  }
  ImageInfo info;
  info.format = Format::kJpeg;
  info.orientation = options.apply_exif ? facts.orientation : 1;
  info.channels = channels_of(options.mode);
  const bool swap = swaps_sides(info.orientation);
  info.scale_denom = 1;
  if (options.reduce) {
    for (int denom : {8, 4, 2}) {
      std::uint32_t w = scaled(facts.width, denom), h = scaled(facts.height, denom);
      if (swap) std::swap(w, h);
      if (w >= options.min_width && h >= options.min_height) {
        info.scale_denom = denom;
        break;
      }
    }
  }
  std::uint32_t w = scaled(facts.width, info.scale_denom), h = scaled(facts.height, info.scale_denom);
  if (swap) std::swap(w, h);
  info.width = w;
  info.height = h;
  return info;
}

namespace {

// What libjpeg writes for this content and call, and whether it can write
// the result itself (upright, in the result's own layout).
struct JobPlan {
  DecodeJob job{};
  Layout layout = Layout::kRgb;
  bool direct = false;
};

Outcome<JobPlan> plan_job(JpegState* s, Content content, const ImageInfo& info, const DecodeOptions& options) {
  HeaderFacts facts{};
  if (int code = run_header(s, content.data, content.size, &facts); code != kOk) {
    return jpeg_error(code, s->err.literal);
  }
  JobPlan plan;
  DecodeJob& job = plan.job;
  job.scale_denom = info.scale_denom;
  job.width = scaled(facts.width, info.scale_denom);
  job.height = scaled(facts.height, info.scale_denom);
  job.end_row = job.height;
  job.columns = job.width;
  plan.direct = info.orientation == 1;
  if (is_cmyk(facts.space)) {
    job.out_space = JCS_CMYK;
    plan.layout = facts.adobe ? Layout::kCmykInverted : Layout::kCmyk;
    plan.direct = false;
  } else if (options.mode == Mode::kRgba) {
    job.out_space = JCS_EXT_RGBA;
    plan.layout = Layout::kRgba;
  } else if (options.mode == Mode::kRgb || facts.components != 1) {
    // Colour content for L goes through RGB, so that L is the luma of the
    // RGB result rather than the stored Y channel (as in Pillow).
    job.out_space = JCS_RGB;
    plan.layout = Layout::kRgb;
    if (options.mode == Mode::kL) plan.direct = false;
  } else {
    job.out_space = JCS_GRAYSCALE;
    plan.layout = Layout::kGray;
  }
  job.components = layout_channels(plan.layout);
  return plan;
}

// Pixels decoded around a box, on every side where the image has them: the
// smoothing of subsampled colour at the edge of a decoded part uses the
// part's own edge rather than its neighbours, so the box stays inside.
constexpr std::uint32_t kBoxMargin = 16;

}  // namespace

Outcome<> jpeg_decode(Content content, const ImageInfo& info, const DecodeOptions& options, std::uint8_t* out) {
  JpegState* s = &t_state;
  if (int code = create_state(s); code != kOk) return jpeg_error(code == 0 ? kNoState : code, nullptr);
  auto planned = plan_job(s, content, info, options);
  if (!planned.ok()) return planned.error();
  JobPlan& plan = planned.value();
  DecodeJob& job = plan.job;
  OwnedBuffer scratch;
  if (plan.direct) {
    job.rows = out;
  } else {
    std::size_t bytes = 0;
    if (!checked_mul(std::size_t{job.width} * job.height, static_cast<std::size_t>(job.components), &bytes)) {
      return OperationError::out_of_memory();
    }
    auto made = OwnedBuffer::allocate(bytes);
    if (!made.ok()) return made.error();
    scratch = std::move(made).value();
    job.rows = scratch.data();
  }
  if (int code = run_decode(s, content.data, content.size, &job); code != kOk) return jpeg_error(code, s->err.literal);
  if (!plan.direct) {
    convert_oriented({job.rows, plan.layout, job.width, job.height}, options.mode, info.orientation, out);
  }
  return Done{};
}

Outcome<ImageView> jpeg_decode_box(Content content, const ImageInfo& info, const DecodeOptions& options,
                                   const Box& box, OwnedBuffer& scratch) {
  JpegState* s = &t_state;
  if (int code = create_state(s); code != kOk) return jpeg_error(code == 0 ? kNoState : code, nullptr);
  auto planned = plan_job(s, content, info, options);
  if (!planned.ok()) return planned.error();
  JobPlan& plan = planned.value();
  if (!plan.direct) return decode_whole_box(content, info, options, box, scratch);
  DecodeJob& job = plan.job;
  job.first_row = box.y > kBoxMargin ? box.y - kBoxMargin : 0;
  job.end_row = job.height - box.y - box.height > kBoxMargin ? box.y + box.height + kBoxMargin : job.height;
  job.first_column = box.x > kBoxMargin ? box.x - kBoxMargin : 0;
  job.columns = (job.width - box.x - box.width > kBoxMargin ? box.x + box.width + kBoxMargin : job.width) -
                job.first_column;
  // libjpeg may widen the columns to whole blocks: room for all of them.
  const std::size_t components = static_cast<std::size_t>(job.components);
  auto room = grow_scratch(scratch, std::size_t{job.width} * (job.end_row - job.first_row + 1) * components);
  if (!room.ok()) return room.error();
  job.rows = scratch.data();
  if (int code = run_decode(s, content.data, content.size, &job); code != kOk) return jpeg_error(code, s->err.literal);
  const std::size_t stride = std::size_t{job.columns} * components;
  return ImageView{job.rows + (box.y - job.first_row) * stride + (box.x - job.first_column) * components,
                   {box.height, box.width, components},
                   {static_cast<std::ptrdiff_t>(stride), static_cast<std::ptrdiff_t>(components), 1}};
}

}  // namespace batchaugmentor::decoding::internal
