#include "common/audio_encoder.h"

#include <sndfile.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <vector>

namespace {

constexpr uint32_t kUnknownLength = 0xFFFFFFFFu;

void put_u32(std::string &out, uint32_t v) {
  for (int i = 0; i < 4; i++) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

void put_u16(std::string &out, uint16_t v) {
  out.push_back(static_cast<char>(v & 0xFF));
  out.push_back(static_cast<char>(v >> 8));
}

// The 44-byte header of a mono 16-bit file; kUnknownLength for a stream.
std::string wav_header(int32_t sample_rate, uint32_t data_bytes) {
  std::string h;
  h += "RIFF";
  put_u32(h, data_bytes == kUnknownLength ? kUnknownLength : 36 + data_bytes);
  h += "WAVEfmt ";
  put_u32(h, 16);
  put_u16(h, 1);  // PCM
  put_u16(h, 1);  // mono
  put_u32(h, static_cast<uint32_t>(sample_rate));
  put_u32(h, static_cast<uint32_t>(sample_rate) * 2);
  put_u16(h, 2);
  put_u16(h, 16);
  h += "data";
  put_u32(h, data_bytes);
  return h;
}

// pcm: the samples as they come. wav: the same after a header, which a
// stream sends with its first bytes and a whole file once the length is known.
class RawEncoder : public AudioEncoder {
 public:
  RawEncoder(bool wav, int32_t sample_rate, bool streamed)
      : wav_(wav), sample_rate_(sample_rate), streamed_(streamed) {}

  bool write(const float *samples, size_t count, std::string &out) override {
    if (streamed_) {
      put_header_once(out, kUnknownLength);
      out += pcm16_bytes(samples, count);
    } else {
      held_ += pcm16_bytes(samples, count);
    }
    return true;
  }

  bool finish(std::string &out) override {
    if (!streamed_ && held_.size() > kUnknownLength - 36) {
      error_ = "too long for a WAV file";
      return false;
    }
    put_header_once(out, streamed_ ? kUnknownLength : static_cast<uint32_t>(held_.size()));
    out += held_;
    held_.clear();
    return true;
  }

 private:
  void put_header_once(std::string &out, uint32_t data_bytes) {
    if (wav_ && !header_sent_) out += wav_header(sample_rate_, data_bytes);
    header_sent_ = true;
  }

  const bool wav_;
  const int32_t sample_rate_;
  const bool streamed_;
  bool header_sent_ = false;
  std::string held_;
};

// A file in memory for libsndfile's virtual I/O. A streamed file hands its
// bytes out as they are written and forgets them; a write that goes back
// over bytes already handed out (a header completed at close) is dropped,
// so what was sent stays a valid stream with its placeholders.
class MemoryFile {
 public:
  explicit MemoryFile(bool streamed) : streamed_(streamed) {}

  static SF_VIRTUAL_IO io() {
    SF_VIRTUAL_IO io{};
    io.get_filelen = [](void *self) { return static_cast<MemoryFile *>(self)->length(); };
    io.seek = [](sf_count_t offset, int whence, void *self) {
      return static_cast<MemoryFile *>(self)->seek(offset, whence);
    };
    io.read = [](void *data, sf_count_t count, void *self) {
      return static_cast<MemoryFile *>(self)->read(data, count);
    };
    io.write = [](const void *data, sf_count_t count, void *self) {
      return static_cast<MemoryFile *>(self)->write(data, count);
    };
    io.tell = [](void *self) { return static_cast<MemoryFile *>(self)->position_; };
    return io;
  }

  // Moves the bytes not yet handed out to `out` (a streamed file only).
  void take(std::string &out) {
    if (!streamed_) return;
    out += bytes_;
    base_ += static_cast<sf_count_t>(bytes_.size());
    bytes_.clear();
  }

  // Everything: the whole file, or what a streamed one has left.
  void take_all(std::string &out) {
    out += bytes_;
    base_ += static_cast<sf_count_t>(bytes_.size());
    bytes_.clear();
  }

 private:
  sf_count_t length() const { return base_ + static_cast<sf_count_t>(bytes_.size()); }

  sf_count_t seek(sf_count_t offset, int whence) {
    const sf_count_t origin = whence == SEEK_CUR ? position_ : whence == SEEK_END ? length() : 0;
    if (origin + offset < 0) return -1;
    position_ = origin + offset;
    return position_;
  }

  sf_count_t read(void *data, sf_count_t count) {
    if (position_ < base_ || position_ >= length()) return 0;
    const sf_count_t n = std::min(count, length() - position_);
    std::memcpy(data, bytes_.data() + (position_ - base_), static_cast<size_t>(n));
    position_ += n;
    return n;
  }

  sf_count_t write(const void *data, sf_count_t count) {
    const char *from = static_cast<const char *>(data);
    sf_count_t skip = std::min(count, std::max<sf_count_t>(0, base_ - position_));
    const sf_count_t at = position_ + skip - base_;
    const sf_count_t n = count - skip;
    if (n > 0) {
      if (static_cast<size_t>(at + n) > bytes_.size()) bytes_.resize(static_cast<size_t>(at + n));
      std::memcpy(&bytes_[static_cast<size_t>(at)], from + skip, static_cast<size_t>(n));
    }
    position_ += count;
    return count;
  }

  const bool streamed_;
  std::string bytes_;    // the file from base_ on
  sf_count_t base_ = 0;  // bytes already handed out
  sf_count_t position_ = 0;
};

// MP3 (LAME), Ogg Opus and FLAC through libsndfile.
class SndfileEncoder : public AudioEncoder {
 public:
  SndfileEncoder(AudioFormat format, int32_t sample_rate, bool streamed)
      : format_(format),
        sample_rate_(sample_rate),
        file_(streamed),
        drop_tag_frame_(streamed && format == AudioFormat::kMp3) {}

  ~SndfileEncoder() override {
    if (sndfile_) sf_close(sndfile_);
  }

  bool open() {
    SF_INFO info{};
    info.samplerate = sample_rate_;
    info.channels = 1;
    info.format = format_ == AudioFormat::kMp3    ? SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III
                  : format_ == AudioFormat::kOpus ? SF_FORMAT_OGG | SF_FORMAT_OPUS
                                                  : SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
    SF_VIRTUAL_IO io = MemoryFile::io();
    sndfile_ = sf_open_virtual(&io, SFM_WRITE, &info, &file_);
    if (!sndfile_) {
      error_ =
          std::string("cannot encode ") + audio_format_name(format_) + ": " + sf_strerror(nullptr);
      return false;
    }
    // Louder than full scale is clipped, not wrapped round.
    sf_command(sndfile_, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    if (format_ == AudioFormat::kMp3) {
      // Constant bit rate, so a stream's length and position follow from its
      // bytes; 64 kbit/s (libsndfile's default at 24 kHz is 32, audibly
      // rough on speech).
      int mode = SF_BITRATE_MODE_CONSTANT;
      sf_command(sndfile_, SFC_SET_BITRATE_MODE, &mode, sizeof mode);
      double level = 0.6;
      sf_command(sndfile_, SFC_SET_COMPRESSION_LEVEL, &level, sizeof level);
    }
    if (format_ == AudioFormat::kOpus) {
      // An Ogg page holds at most this much audio, so a stream is never
      // more than that behind the synthesis (libsndfile's default is 1 s).
      double latency_ms = 200;
      sf_command(sndfile_, SFC_SET_OGG_PAGE_LATENCY_MS, &latency_ms, sizeof latency_ms);
    }
    // What opening wrote (an Ogg stream's header pages) waits for the first
    // audio, so that a stream's first bytes mark its first audio.
    file_.take(held_);
    return true;
  }

  bool write(const float *samples, size_t count, std::string &out) override {
    if (count > 0 && write_frames(samples, count) != static_cast<sf_count_t>(count)) {
      error_ =
          std::string("cannot encode ") + audio_format_name(format_) + ": " + sf_strerror(sndfile_);
      return false;
    }
    file_.take(held_);
    if (drop_tag_frame_ && !drop_empty_first_frame()) return true;
    out += held_;
    held_.clear();
    return true;
  }

  bool finish(std::string &out) override {
    // Closing writes the codec's last page or frame and completes the header.
    const int status = sf_close(sndfile_);
    sndfile_ = nullptr;
    if (status != 0) {
      error_ = std::string("cannot finish ") + audio_format_name(format_) + ": " +
               sf_error_number(status);
      return false;
    }
    file_.take_all(held_);
    if (drop_tag_frame_) drop_empty_first_frame();
    out += held_;
    held_.clear();
    return true;
  }

 private:
  // FLAC gets the 16-bit samples of the WAV and PCM answers, so that it
  // decodes to exactly those; the lossy codecs take the floats.
  sf_count_t write_frames(const float *samples, size_t count) {
    if (format_ != AudioFormat::kFlac)
      return sf_writef_float(sndfile_, samples, static_cast<sf_count_t>(count));
    const std::string pcm = pcm16_bytes(samples, count);
    std::vector<short> frames(count);
    std::memcpy(frames.data(), pcm.data(), pcm.size());  // little-endian, as the host
    return sf_writef_short(sndfile_, frames.data(), static_cast<sf_count_t>(count));
  }

  // An MP3 file starts with a frame that LAME fills at close with the
  // stream's length and its encoder delay (so players trim the delay and the
  // padding). A stream cannot go back to fill it, and players would decode
  // the empty frame as silence, so a stream leaves it out. False while the
  // frame is not complete yet.
  bool drop_empty_first_frame() {
    if (held_.size() < 4) return false;
    size_t next = 4;
    while (next < held_.size() && held_[next] == 0) next++;
    if (next + 1 >= held_.size()) return false;
    const bool next_frame = static_cast<unsigned char>(held_[next]) == 0xFF &&
                            (static_cast<unsigned char>(held_[next + 1]) & 0xE0) == 0xE0;
    if (next_frame && next > 64) held_.erase(0, next);
    drop_tag_frame_ = false;
    return true;
  }

  const AudioFormat format_;
  const int32_t sample_rate_;
  MemoryFile file_;
  SNDFILE *sndfile_ = nullptr;
  std::string held_;  // bytes not given out yet
  bool drop_tag_frame_;
};

// AAC-LC in ADTS frames through libavcodec's own encoder.
class AacEncoder : public AudioEncoder {
 public:
  explicit AacEncoder(int32_t sample_rate) : sample_rate_(sample_rate) {}

  ~AacEncoder() override {
    av_packet_free(&packet_);
    av_frame_free(&frame_);
    avcodec_free_context(&context_);
  }

  bool open() {
    // libavcodec prints its encoder's statistics on standard error otherwise.
    static std::once_flag quiet;
    std::call_once(quiet, [] { av_log_set_level(AV_LOG_ERROR); });
    frequency_index_ = adts_frequency_index(sample_rate_);
    const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (frequency_index_ < 0 || !codec) return fail("no AAC encoder for this rate", 0);
    context_ = avcodec_alloc_context3(codec);
    packet_ = av_packet_alloc();
    frame_ = av_frame_alloc();
    if (!context_ || !packet_ || !frame_) return fail("out of memory", 0);
    context_->sample_rate = sample_rate_;
    context_->sample_fmt = AV_SAMPLE_FMT_FLTP;
    av_channel_layout_default(&context_->ch_layout, 1);
    context_->bit_rate = 64000;
    context_->profile = FF_PROFILE_AAC_LOW;
    context_->time_base = AVRational{1, sample_rate_};
    if (int status = avcodec_open2(context_, codec, nullptr); status < 0)
      return fail("cannot open", status);
    frame_size_ = context_->frame_size > 0 ? context_->frame_size : 1024;
    held_.reserve(static_cast<size_t>(frame_size_));
    return true;
  }

  bool write(const float *samples, size_t count, std::string &out) override {
    for (size_t i = 0; i < count;) {
      const size_t n = std::min(count - i, static_cast<size_t>(frame_size_) - held_.size());
      held_.insert(held_.end(), samples + i, samples + i + n);
      i += n;
      if (held_.size() == static_cast<size_t>(frame_size_) && !send_held(out)) return false;
    }
    return true;
  }

  bool finish(std::string &out) override {
    if (!held_.empty() && !send_held(out)) return false;
    if (int status = avcodec_send_frame(context_, nullptr); status < 0)
      return fail("cannot flush", status);
    return drain(out);
  }

 private:
  static int adts_frequency_index(int32_t rate) {
    static const int32_t rates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                    22050, 16000, 12000, 11025, 8000,  7350};
    for (int i = 0; i < 13; i++)
      if (rates[i] == rate) return i;
    return -1;
  }

  bool fail(const char *what, int status) {
    error_ = std::string("AAC encoder: ") + what;
    if (status < 0) {
      char text[AV_ERROR_MAX_STRING_SIZE] = {0};
      av_strerror(status, text, sizeof text);
      error_ += std::string(": ") + text;
    }
    return false;
  }

  // One frame of held samples (the last one may be short when the encoder
  // takes short frames; otherwise it is padded with silence).
  bool send_held(std::string &out) {
    const bool short_ok = context_->codec->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME;
    if (!short_ok) held_.resize(static_cast<size_t>(frame_size_), 0.0f);
    av_frame_unref(frame_);
    frame_->nb_samples = static_cast<int>(held_.size());
    frame_->format = context_->sample_fmt;
    frame_->sample_rate = sample_rate_;
    if (av_channel_layout_copy(&frame_->ch_layout, &context_->ch_layout) < 0 ||
        av_frame_get_buffer(frame_, 0) < 0)
      return fail("out of memory", 0);
    std::memcpy(frame_->data[0], held_.data(), held_.size() * sizeof(float));
    frame_->pts = next_pts_;
    next_pts_ += frame_->nb_samples;
    held_.clear();
    if (int status = avcodec_send_frame(context_, frame_); status < 0)
      return fail("cannot encode", status);
    return drain(out);
  }

  bool drain(std::string &out) {
    for (;;) {
      const int status = avcodec_receive_packet(context_, packet_);
      if (status == AVERROR(EAGAIN) || status == AVERROR_EOF) return true;
      if (status < 0) return fail("cannot encode", status);
      put_adts_header(out, packet_->size);
      out.append(reinterpret_cast<const char *>(packet_->data), static_cast<size_t>(packet_->size));
      av_packet_unref(packet_);
    }
  }

  // The 7-byte ADTS header (no CRC) of an AAC-LC mono frame.
  void put_adts_header(std::string &out, int payload) const {
    const unsigned length = static_cast<unsigned>(payload) + 7;
    const unsigned profile = 1;  // AAC-LC: object type 2, less one
    const unsigned channels = 1;
    const unsigned char header[7] = {
        0xFF,
        0xF1,
        static_cast<unsigned char>((profile << 6) | (static_cast<unsigned>(frequency_index_) << 2) |
                                   (channels >> 2)),
        static_cast<unsigned char>(((channels & 3) << 6) | (length >> 11)),
        static_cast<unsigned char>((length >> 3) & 0xFF),
        static_cast<unsigned char>(((length & 7) << 5) | 0x1F),
        0xFC};
    out.append(reinterpret_cast<const char *>(header), sizeof header);
  }

  const int32_t sample_rate_;
  int frequency_index_ = -1;
  AVCodecContext *context_ = nullptr;
  AVFrame *frame_ = nullptr;
  AVPacket *packet_ = nullptr;
  int frame_size_ = 1024;
  int64_t next_pts_ = 0;
  std::vector<float> held_;
};

}  // namespace

std::string pcm16_bytes(const float *samples, size_t count) {
  std::string out(count * 2, '\0');
  for (size_t i = 0; i < count; i++) {
    float x = samples[i];
    if (std::isnan(x)) x = 0.0f;
    x = std::min(1.0f, std::max(-1.0f, x));
    const auto v = static_cast<int16_t>(x * 32767.0f);
    out[2 * i] = static_cast<char>(v & 0xFF);
    out[2 * i + 1] = static_cast<char>((static_cast<uint16_t>(v) >> 8) & 0xFF);
  }
  return out;
}

std::unique_ptr<AudioEncoder> AudioEncoder::create(AudioFormat format, int32_t sample_rate,
                                                   bool streamed, std::string &error) {
  switch (format) {
    case AudioFormat::kWav:
    case AudioFormat::kPcm:
      return std::make_unique<RawEncoder>(format == AudioFormat::kWav, sample_rate, streamed);
    case AudioFormat::kAac: {
      auto encoder = std::make_unique<AacEncoder>(sample_rate);
      if (encoder->open()) return encoder;
      error = encoder->error();
      return nullptr;
    }
    default: {
      auto encoder = std::make_unique<SndfileEncoder>(format, sample_rate, streamed);
      if (encoder->open()) return encoder;
      error = encoder->error();
      return nullptr;
    }
  }
}

std::string encode_whole(AudioFormat format, const float *samples, size_t count,
                         int32_t sample_rate, std::string &error) {
  std::unique_ptr<AudioEncoder> encoder = AudioEncoder::create(format, sample_rate, false, error);
  std::string bytes;
  if (!encoder) return bytes;
  if (!encoder->write(samples, count, bytes) || !encoder->finish(bytes)) {
    error = encoder->error();
    bytes.clear();
  }
  return bytes;
}
