// Times vocabulary loading and encoding on a synthetic vocabulary of the real
// size (about 6,700 tokens, several thousand merges) in the file layout the
// loader reads.
#include "tokenizer/bpe_tokenizer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <unistd.h>
#include <unordered_set>
#include <vector>

namespace {

constexpr size_t kTargetVocab = 6700;
constexpr int kLoadRuns = 21;
constexpr int kEncodeRuns = 5000;

const char *kSentence =
    "The quick brown fox jumps over the lazy dog while a patient engineer measures how long "
    "the tokenizer needs to encode one sentence of ordinary length. It holds punctuation, "
    "numbers such as 2026 and 3.14, a few accented words like caf\xc3\xa9, na\xc3\xafve and "
    "\xc3\xbc"
    "ber, and enough plain English to make the merges work hard: reading, writing, "
    "speaking and listening are the four skills every learner practises daily.";

using Clock = std::chrono::steady_clock;

double elapsed_ms(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Vocabulary and merges grown word by word, each word built up left to right,
// the way a trained byte-pair table covers frequent words.
struct Synthetic {
  std::vector<std::string> tokens;
  std::vector<std::pair<std::string, std::string>> merges;
  std::unordered_set<std::string> known;

  void add_token(const std::string &token) {
    if (known.insert(token).second) tokens.push_back(token);
  }

  void add_word(const std::vector<std::string> &symbols) {
    if (symbols.empty()) return;
    std::string built = symbols[0];
    for (size_t i = 1; i < symbols.size() && tokens.size() < kTargetVocab; i++) {
      std::string next = built + symbols[i];
      if (!known.count(next)) {
        merges.emplace_back(built, symbols[i]);
        add_token(next);
      }
      built = next;
    }
  }
};

std::vector<std::string> utf8_symbols(const std::string &word) {
  std::vector<std::string> symbols;
  for (size_t i = 0; i < word.size();) {
    size_t n = (static_cast<unsigned char>(word[i]) & 0xE0) == 0xC0 ? 2 : 1;
    symbols.push_back(word.substr(i, n));
    i += n;
  }
  return symbols;
}

Synthetic make_vocabulary() {
  Synthetic s;
  for (const char *special :
       {"[STOP]", "[UNK]", "[SPACE]", "[en]", "[de]", "[fr]", "[es]", "[it]", "[pt]", "[pl]",
        "[tr]", "[ru]", "[nl]", "[cs]", "[ar]", "[zh-cn]", "[ja]", "[hu]", "[ko]"})
    s.add_token(special);
  for (char c = '!'; c <= '~'; c++)
    if (c != '"' && c != '\\') s.add_token(std::string(1, c));
  for (const char *accented :
       {"\xc3\xa9", "\xc3\xaf", "\xc3\xbc", "\xc3\xa0", "\xc3\xb6", "\xc3\xb1"})
    s.add_token(accented);

  std::string lowered = normalize_text(kSentence);
  std::replace_if(
      lowered.begin(), lowered.end(), [](char c) { return c == ',' || c == '.' || c == ':'; }, ' ');
  size_t start = 0;
  while (start < lowered.size()) {
    size_t end = lowered.find(' ', start);
    if (end == std::string::npos) end = lowered.size();
    s.add_word(utf8_symbols(lowered.substr(start, end - start)));
    start = end + 1;
  }

  const char *onsets[] = {"b", "c", "d", "f", "g",  "h",  "k",  "l",  "m",  "n",  "p",  "r",
                          "s", "t", "v", "w", "st", "tr", "pr", "ch", "sh", "th", "br", "gr"};
  const char *vowels[] = {"a", "e", "i", "o", "u", "ai", "ea", "ou", "io"};
  const char *codas[] = {"", "n", "r", "s", "t", "l", "ng", "nd", "st", "ck"};
  std::mt19937 random(2026);
  while (s.tokens.size() < kTargetVocab) {
    std::string word;
    int syllables = 1 + static_cast<int>(random() % 3);
    for (int k = 0; k < syllables; k++) {
      word += onsets[random() % std::size(onsets)];
      word += vowels[random() % std::size(vowels)];
      word += codas[random() % std::size(codas)];
    }
    s.add_word(utf8_symbols(word));
  }
  return s;
}

std::string vocabulary_json(const Synthetic &s) {
  std::string json =
      "{\n  \"version\": \"1.0\",\n  \"added_tokens\": [],\n  \"model\": {\n"
      "    \"type\": \"BPE\",\n    \"unk_token\": \"[UNK]\",\n    \"vocab\": {\n";
  for (size_t i = 0; i < s.tokens.size(); i++)
    json += "      \"" + s.tokens[i] + "\": " + std::to_string(i) +
            (i + 1 < s.tokens.size() ? ",\n" : "\n");
  json += "    },\n    \"merges\": [\n";
  for (size_t i = 0; i < s.merges.size(); i++)
    json += "      \"" + s.merges[i].first + " " + s.merges[i].second + "\"" +
            (i + 1 < s.merges.size() ? ",\n" : "\n");
  json += "    ]\n  }\n}\n";
  return json;
}

// The tokenizer logs every call; keep those lines out of the timing output.
struct QuietStderr {
  int saved = dup(STDERR_FILENO);
  QuietStderr() {
    fflush(stderr);
    FILE *null = fopen("/dev/null", "w");
    dup2(fileno(null), STDERR_FILENO);
    fclose(null);
  }
  ~QuietStderr() {
    fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);
  }
};

}  // namespace

int main() {
  Synthetic synthetic = make_vocabulary();
  const std::string json = vocabulary_json(synthetic);
  char path[] = "/tmp/vclone-bench-vocab-XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) {
    perror("mkstemp");
    return 1;
  }
  close(fd);
  std::ofstream(path, std::ios::binary) << json;

  BpeTokenizer tokenizer;
  std::vector<double> load_times;
  int status = 0;
  {
    QuietStderr quiet;
    for (int run = 0; run < kLoadRuns && status == 0; run++) {
      auto start = Clock::now();
      status = load_vocabulary(&tokenizer, path);
      load_times.push_back(elapsed_ms(start));
    }
  }
  unlink(path);
  if (status != 0) {
    fprintf(stderr, "bench_tokenizer: the synthetic vocabulary did not load\n");
    return 1;
  }
  std::sort(load_times.begin(), load_times.end());

  const std::string sentence = kSentence;
  std::vector<int32_t> ids;
  double encode_ms = 0;
  {
    QuietStderr quiet;
    ids = encode(tokenizer, sentence, "en");  // warm-up
    auto start = Clock::now();
    for (int run = 0; run < kEncodeRuns; run++) ids = encode(tokenizer, sentence, "en");
    encode_ms = elapsed_ms(start);
  }
  size_t unknown = std::count(ids.begin(), ids.end(), 1);

  printf("load_vocabulary: %.2f ms median of %d (%zu entries, %zu merges, %zu bytes)\n",
         load_times[load_times.size() / 2], kLoadRuns, tokenizer.vocab.size(),
         tokenizer.merges.size(), json.size());
  printf("encode: %.1f us per %zu-byte sentence (%zu tokens, %zu unknown; mean of %d)\n",
         1000.0 * encode_ms / kEncodeRuns, sentence.size(), ids.size(), unknown, kEncodeRuns);
  return 0;
}
