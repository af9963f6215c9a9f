// Load times of prepared models against the time to read their file, cold
// (the file dropped from the page cache with POSIX_FADV_DONTNEED) and warm,
// and the memory a second process adds when two map the same file.
//
//   bench_load --model model.pt --vocab vocab.json [--precision f32|bf16|int8]
//              [--work DIR] [--threads N] [--archive]
//
// Each precision is prepared once into the work folder (kept for later runs).
// Every measurement runs in a fresh child process; the parent never runs the
// model, so forking it is safe. --archive also times the archive's warm load.
#include "audio/wav_io.h"
#include "vclone.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Settings {
  std::string model, vocab, work = "/tmp/vclone-bench-load";
  std::vector<int32_t> precisions{VCLONE_PRECISION_F32, VCLONE_PRECISION_BF16,
                                  VCLONE_PRECISION_INT8};
  int threads = 0;
  bool archive = false;
};

const char *name_of(int32_t precision) {
  return precision == VCLONE_PRECISION_BF16   ? "bf16"
         : precision == VCLONE_PRECISION_INT8 ? "int8"
                                              : "f32";
}

// Runs body in a child process; what it writes to the given descriptor comes
// back as text. Exits the program if the child fails.
std::string in_child(const std::function<void(int)> &body) {
  int fds[2];
  if (pipe(fds) != 0) std::exit(1);
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    body(fds[1]);
    close(fds[1]);
    _exit(0);
  }
  close(fds[1]);
  std::string text;
  char buffer[256];
  for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) text.append(buffer, n);
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "bench_load: a child failed\n");
    std::exit(1);
  }
  return text;
}

void say(int fd, const std::string &text) { (void)!write(fd, text.data(), text.size()); }

void fail_child(const char *what) {
  std::fprintf(stderr, "bench_load: %s: %s\n", what, vclone_get_last_error());
  _exit(1);
}

void drop_from_page_cache(const std::string &path) {
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return;
  posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  close(fd);
}

double read_file_seconds(const std::string &path) {
  const auto start = Clock::now();
  const int fd = open(path.c_str(), O_RDONLY);
  std::vector<char> buffer(4 << 20);
  while (read(fd, buffer.data(), buffer.size()) > 0) {
  }
  close(fd);
  return seconds_since(start);
}

double file_megabytes(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_size / 1e6 : 0;
}

vclone_load_options load_options(const Settings &s, int32_t precision) {
  vclone_load_options options = vclone_default_load_options();
  options.n_threads = s.threads;
  options.precision = precision;
  return options;
}

double load_seconds(const Settings &s, const std::string &path, const char *vocab,
                    int32_t precision) {
  const std::string text = in_child([&](int fd) {
    const vclone_load_options options = load_options(s, precision);
    const auto start = Clock::now();
    vclone_model *model = vclone_model_load(path.c_str(), vocab, &options);
    const double seconds = seconds_since(start);
    if (!model) fail_child("load");
    say(fd, std::to_string(seconds));
    vclone_model_free(model);
  });
  return std::atof(text.c_str());
}

// kB of a /proc/self/smaps_rollup field.
long smaps_kb(const char *field) {
  std::ifstream in("/proc/self/smaps_rollup");
  long total = 0;
  for (std::string line; std::getline(in, line);)
    if (line.rfind(field, 0) == 0) total += std::atol(line.c_str() + std::strlen(field));
  return total;
}

struct Memory {
  double private_mb = 0, shared_mb = 0, rss_mb = 0;
};

// Starts a process that loads path, speaks once and reports its memory, then
// stays alive (keeping its mapping) until *release is closed. Returns its
// figures; *pid and *release let the caller end it.
Memory speaking_process(const Settings &s, const std::string &path, const std::string &wav,
                        pid_t *pid, int *release) {
  int report[2], hold[2];
  if (pipe(report) != 0 || pipe(hold) != 0) std::exit(1);
  std::fflush(nullptr);
  *pid = fork();
  if (*pid == 0) {
    close(report[0]);
    close(hold[1]);
    const vclone_load_options options = load_options(s, VCLONE_PRECISION_F32);
    vclone_model *model = vclone_model_load(path.c_str(), nullptr, &options);
    if (!model) fail_child("load");
    vclone_voice *voice = vclone_voice_from_wav(model, wav.c_str());
    if (!voice) fail_child("voice");
    vclone_options speak = vclone_default_options();
    speak.max_codes = 48;
    speak.seed = 3;
    int32_t n = 0;
    float *samples =
        vclone_speak(model, "Two processes share one mapped model.", "en", voice, &speak, &n);
    if (!samples) fail_child("speak");
    std::free(samples);
    char line[128];
    std::snprintf(line, sizeof line, "%ld %ld %ld %ld", smaps_kb("Private_Clean:"),
                  smaps_kb("Private_Dirty:"), smaps_kb("Shared_Clean:") + smaps_kb("Shared_Dirty:"),
                  smaps_kb("Rss:"));
    say(report[1], line);
    close(report[1]);
    char byte;
    while (read(hold[0], &byte, 1) > 0) {
    }
    _exit(0);
  }
  close(report[1]);
  close(hold[0]);
  *release = hold[1];
  std::string text;
  char buffer[256];
  for (ssize_t n; (n = read(report[0], buffer, sizeof buffer)) > 0;) text.append(buffer, n);
  close(report[0]);
  long clean = 0, dirty = 0, shared = 0, rss = 0;
  if (std::sscanf(text.c_str(), "%ld %ld %ld %ld", &clean, &dirty, &shared, &rss) != 4) {
    std::fprintf(stderr, "bench_load: a speaking process failed\n");
    std::exit(1);
  }
  return {(clean + dirty) / 1024.0, shared / 1024.0, rss / 1024.0};
}

void end_process(pid_t pid, int release) {
  close(release);
  int status = 0;
  waitpid(pid, &status, 0);
}

bool parse(int argc, char **argv, Settings *s) {
  for (int i = 1; i < argc; i++) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
    if (arg == "--model")
      s->model = value();
    else if (arg == "--vocab")
      s->vocab = value();
    else if (arg == "--work")
      s->work = value();
    else if (arg == "--threads")
      s->threads = std::atoi(value().c_str());
    else if (arg == "--archive")
      s->archive = true;
    else if (arg == "--precision") {
      const std::string p = value();
      if (p == "f32")
        s->precisions = {VCLONE_PRECISION_F32};
      else if (p == "bf16")
        s->precisions = {VCLONE_PRECISION_BF16};
      else if (p == "int8")
        s->precisions = {VCLONE_PRECISION_INT8};
      else
        return false;
    } else
      return false;
  }
  return !s->model.empty() && !s->vocab.empty();
}

}  // namespace

int main(int argc, char **argv) {
  Settings s;
  if (!parse(argc, argv, &s)) {
    std::fprintf(stderr,
                 "usage: bench_load --model model.pt --vocab vocab.json [--precision f32|bf16|int8]"
                 " [--work DIR] [--threads N] [--archive]\n");
    return 2;
  }
  vclone_log_set([](int, const char *, void *) {}, nullptr);
  mkdir(s.work.c_str(), 0755);
  const std::string wav = s.work + "/reference.wav";
  {
    std::vector<float> samples(22050 * 3);
    for (size_t i = 0; i < samples.size(); i++)
      samples[i] = 0.3f * std::sin(2 * M_PI * 140.0 * i / 22050) +
                   0.1f * std::sin(2 * M_PI * 420.0 * i / 22050);
    WavData data{samples.data(), static_cast<int>(samples.size()), 22050, 1,
                 static_cast<int>(samples.size())};
    if (write_wav(wav.c_str(), &data) != 0) return 1;
  }

  std::printf(
      "| precision | file | read cold | load cold | × read | load warm (best of 3) | archive load "
      "warm |"
      " private A / B after a synthesis | shared B |\n|---|---|---|---|---|---|---|---|---|\n");
  std::string json = "{";
  for (int32_t precision : s.precisions) {
    const std::string path = s.work + "/model-" + name_of(precision) + ".vcm";
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
      in_child([&](int) {
        if (vclone_model_prepare(s.model.c_str(), s.vocab.c_str(), precision, path.c_str()) != 0)
          fail_child("prepare");
      });
    }
    drop_from_page_cache(path);
    const double read_cold = read_file_seconds(path);
    drop_from_page_cache(path);
    const double load_cold = load_seconds(s, path, nullptr, VCLONE_PRECISION_F32);
    double load_warm = 1e9;
    for (int run = 0; run < 3; run++)
      load_warm = std::min(load_warm, load_seconds(s, path, nullptr, VCLONE_PRECISION_F32));
    const double archive_warm =
        s.archive ? load_seconds(s, s.model, s.vocab.c_str(), precision) : std::nan("");

    pid_t first_pid, second_pid;
    int first_release, second_release;
    const Memory first = speaking_process(s, path, wav, &first_pid, &first_release);
    const Memory second = speaking_process(s, path, wav, &second_pid, &second_release);
    end_process(second_pid, second_release);
    end_process(first_pid, first_release);

    const char *name = name_of(precision);
    std::printf(
        "| %s | %.0f MB | %.2f s | %.2f s | %.2f | %.3f s | %.2f s | %.0f / %.0f MB | %.0f MB |\n",
        name, file_megabytes(path), read_cold, load_cold, load_cold / read_cold, load_warm,
        archive_warm, first.private_mb, second.private_mb, second.shared_mb);
    std::fflush(stdout);
    char entry[512];
    std::snprintf(entry, sizeof entry,
                  "%s\"%s_read_cold_s\": %.3f, \"%s_load_cold_s\": %.3f, \"%s_load_warm_s\": %.3f, "
                  "\"%s_private_first_mb\": %.0f, \"%s_private_second_mb\": %.0f",
                  json.size() > 1 ? ", " : "", name, read_cold, name, load_cold, name, load_warm,
                  name, first.private_mb, name, second.private_mb);
    json += entry;
  }
  std::printf("%s}\n", json.c_str());
  return 0;
}
