#include "serve/upload_form.h"

#include <algorithm>
#include <cctype>

namespace {

constexpr size_t kMaxPartHeaderBytes = 8192;

std::string lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// The value of `key` among the ;-separated parameters of a header value:
// a token, or a quoted string with backslash escapes.
bool header_parameter(std::string_view value, const std::string &key, std::string &out) {
  size_t at = value.find(';');
  while (at != std::string_view::npos && at < value.size()) {
    at++;
    while (at < value.size() && (value[at] == ' ' || value[at] == '\t')) at++;
    const size_t equals = value.find('=', at);
    if (equals == std::string_view::npos) return false;
    const std::string name = lower(trim(value.substr(at, equals - at)));
    size_t end = equals + 1;
    std::string parsed;
    if (end < value.size() && value[end] == '"') {
      for (end++; end < value.size() && value[end] != '"'; end++) {
        if (value[end] == '\\' && end + 1 < value.size()) end++;
        parsed.push_back(value[end]);
      }
      if (end < value.size()) end++;  // the closing quote
      end = std::min(value.find(';', end), value.size());
    } else {
      end = std::min(value.find(';', end), value.size());
      parsed = std::string(trim(value.substr(equals + 1, end - equals - 1)));
    }
    if (name == key) {
      out = parsed;
      return true;
    }
    at = end;
  }
  return false;
}

// Reads the header lines of one part into `part`; false when they are malformed.
bool read_part_headers(std::string_view headers, FormPart &part) {
  bool disposition = false;
  while (!headers.empty()) {
    const size_t end = std::min(headers.find("\r\n"), headers.size());
    const std::string_view line = headers.substr(0, end);
    headers.remove_prefix(std::min(end + 2, headers.size()));
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) return false;
    const std::string name = lower(trim(line.substr(0, colon)));
    const std::string_view value = trim(line.substr(colon + 1));
    if (name == "content-disposition") {
      if (lower(trim(value.substr(0, value.find(';')))) != "form-data") return false;
      if (!header_parameter(value, "name", part.name)) return false;
      header_parameter(value, "filename", part.filename);
      disposition = true;
    } else if (name == "content-type") {
      part.content_type = std::string(value);
    }
  }
  return disposition;
}

}  // namespace

std::string form_boundary(const std::string &content_type) {
  std::string boundary;
  if (!header_parameter(content_type, "boundary", boundary) || boundary.empty() ||
      boundary.size() > 70)
    return "";
  return boundary;
}

bool parse_form(std::string_view body, const std::string &boundary, std::vector<FormPart> &parts,
                std::string &error) {
  parts.clear();
  auto fail = [&](const char *message) {
    parts.clear();
    error = message;
    return false;
  };
  if (boundary.empty()) return fail("the form has no boundary");
  const std::string delimiter = "--" + boundary;
  const std::string inner_delimiter = "\r\n" + delimiter;
  // The first delimiter opens the body or follows a preamble's line break.
  size_t at = body.compare(0, delimiter.size(), delimiter) == 0 ? 0 : body.find(inner_delimiter);
  if (at == std::string_view::npos) return fail("the form has no parts");
  if (at != 0) at += 2;
  at += delimiter.size();
  for (;;) {
    if (body.compare(at, 2, "--") == 0) return true;  // the closing delimiter
    while (at < body.size() && (body[at] == ' ' || body[at] == '\t')) at++;
    if (body.compare(at, 2, "\r\n") != 0)
      return fail("a form delimiter is not followed by a line break");
    at += 2;
    if (parts.size() == kMaxFormParts) return fail("the form has too many parts");
    const size_t headers_end = body.find("\r\n\r\n", at);
    if (headers_end == std::string_view::npos || headers_end - at > kMaxPartHeaderBytes)
      return fail("a form part has no end to its headers");
    FormPart part;
    if (!read_part_headers(body.substr(at, headers_end - at), part))
      return fail("a form part has no valid Content-Disposition: form-data; name=...");
    const size_t content_start = headers_end + 4;
    const size_t content_end = body.find(inner_delimiter, content_start);
    if (content_end == std::string_view::npos) return fail("the form has no closing delimiter");
    part.content = body.substr(content_start, content_end - content_start);
    parts.push_back(std::move(part));
    at = content_end + inner_delimiter.size();
  }
}
