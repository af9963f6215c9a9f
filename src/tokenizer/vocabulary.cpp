// Vocabulary loading: the "vocab" object and the "merges" list under the
// file's "model" member, read with a real JSON parser so that escapes,
// \u keys and both layouts of merges mean what they say.
#include "tokenizer/bpe_tokenizer.h"
#include "util/log.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>

namespace {

using Json = nlohmann::json;

// Reads in blocks rather than asking for the size, so that anything that
// opens (a pipe) is read whole; a folder fails here with EISDIR.
bool read_all(const char *path, std::string *text, std::string *reason) {
  FILE *f = fopen(path, "rb");
  if (!f) {
    *reason = std::string("cannot open ") + path + ": " + strerror(errno);
    return false;
  }
  char block[1 << 16];
  size_t n;
  while ((n = fread(block, 1, sizeof block, f)) > 0) text->append(block, n);
  const bool failed = ferror(f);
  const int read_errno = errno;
  fclose(f);
  if (failed) {
    *reason = std::string("cannot read ") + path + ": " + strerror(read_errno);
    return false;
  }
  return true;
}

bool read_vocab(const Json &vocab, BpeTokenizer *tokenizer, std::string *reason) {
  if (!vocab.is_object() || vocab.empty()) {
    *reason = "model.vocab is not a non-empty object";
    return false;
  }
  for (const auto &[token, id] : vocab.items()) {
    bool fits =
        id.is_number_integer() &&
        (id.is_number_unsigned()
             ? id.get<uint64_t>() <= static_cast<uint64_t>(std::numeric_limits<int32_t>::max())
             : id.get<int64_t>() >= std::numeric_limits<int32_t>::min() &&
                   id.get<int64_t>() <= std::numeric_limits<int32_t>::max());
    if (!fits) {
      *reason = "the id of '" + token + "' is not a 32-bit integer: " + id.dump();
      return false;
    }
    tokenizer->vocab[token] = static_cast<int32_t>(id.get<int64_t>());
  }
  return true;
}

// A rule written "left right" (split at the first space) or ["left", "right"].
bool read_merge(const Json &rule, std::pair<std::string, std::string> *merge) {
  if (rule.is_string()) {
    const std::string &text = rule.get_ref<const std::string &>();
    size_t space = text.find(' ');
    if (space == std::string::npos) return false;
    *merge = {text.substr(0, space), text.substr(space + 1)};
    return true;
  }
  if (rule.is_array() && rule.size() == 2 && rule[0].is_string() && rule[1].is_string()) {
    *merge = {rule[0].get<std::string>(), rule[1].get<std::string>()};
    return true;
  }
  return false;
}

bool read_merges(const Json &merges, BpeTokenizer *tokenizer, std::string *reason) {
  if (!merges.is_array()) {
    *reason = "model.merges is not a list";
    return false;
  }
  tokenizer->merges.reserve(merges.size());
  for (size_t r = 0; r < merges.size(); r++) {
    std::pair<std::string, std::string> merge;
    if (!read_merge(merges[r], &merge)) {
      *reason = "merge " + std::to_string(r) +
                " is neither \"left right\" nor [\"left\", \"right\"]: " +
                merges[r].dump(-1, ' ', false, Json::error_handler_t::replace);
      return false;
    }
    tokenizer->merges.push_back(std::move(merge));
  }
  return true;
}

bool parse_vocabulary(const std::string &text, BpeTokenizer *tokenizer, std::string *reason) {
  Json root;
  try {
    root = Json::parse(text);
  } catch (const Json::exception &e) {
    *reason = e.what();
    return false;
  }
  if (!root.is_object() || !root.contains("model") || !root["model"].is_object()) {
    *reason = "no \"model\" object";
    return false;
  }
  const Json &model = root["model"];
  if (!model.contains("vocab")) {
    *reason = "no model.vocab";
    return false;
  }
  if (!model.contains("merges")) {
    *reason = "no model.merges";
    return false;
  }
  return read_vocab(model["vocab"], tokenizer, reason) &&
         read_merges(model["merges"], tokenizer, reason);
}

int fail(BpeTokenizer *tokenizer, std::string *error, const std::string &reason) {
  clear_tokenizer(tokenizer);
  if (error)
    *error = reason;
  else
    log_line(kLogWarn, "[tokenizer] Failed: %s\n", reason.c_str());
  return -1;
}

}  // namespace

int load_vocabulary(BpeTokenizer *tokenizer, const char *path, std::string *error) {
  if (!tokenizer || !path)
    return fail(tokenizer, error, "no tokenizer or no vocabulary path given");
  clear_tokenizer(tokenizer);
  std::string text, reason;
  if (!read_all(path, &text, &reason)) return fail(tokenizer, error, reason);
  return load_vocabulary_text(tokenizer, text, path, error);
}

int load_vocabulary_text(BpeTokenizer *tokenizer, const std::string &text, const char *origin,
                         std::string *error) {
  if (!tokenizer || !origin)
    return fail(tokenizer, error, "no tokenizer or no vocabulary origin given");
  clear_tokenizer(tokenizer);
  std::string reason;
  if (!parse_vocabulary(text, tokenizer, &reason))
    return fail(tokenizer, error, std::string("bad vocabulary ") + origin + ": " + reason);

  // A rule listed twice keeps the rank of its last occurrence.
  tokenizer->merge_ranks.reserve(tokenizer->merges.size());
  for (size_t r = 0; r < tokenizer->merges.size(); r++) {
    const auto &[left, right] = tokenizer->merges[r];
    tokenizer->merge_ranks[left + " " + right] = static_cast<int32_t>(r);
  }
  log_line(kLogInfo, "[tokenizer] Loaded %d vocab entries, %d merges from %s\n",
           static_cast<int>(tokenizer->vocab.size()), static_cast<int>(tokenizer->merges.size()),
           origin);
  return 0;
}

void clear_tokenizer(BpeTokenizer *tokenizer) {
  if (!tokenizer) return;
  tokenizer->vocab.clear();
  tokenizer->merges.clear();
  tokenizer->merge_ranks.clear();
}
