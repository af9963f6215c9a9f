// The parts of a multipart/form-data upload, read in place: a part is a
// range of the body, so a 50 MB recording is not copied to be found.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

struct FormPart {
  std::string name;
  std::string filename;  // empty for a plain field
  std::string content_type;
  std::string_view content;  // within the body given to parse_form
};

// Forms with more parts than this are refused: an upload needs two.
constexpr size_t kMaxFormParts = 16;

// The boundary parameter of a multipart Content-Type (1-70 characters), or
// "" when it has none.
std::string form_boundary(const std::string &content_type);

// Splits `body` at `boundary`. False with a message when the body is not a
// well-formed form (no first or closing delimiter, a part without headers,
// too many parts); `parts` then holds nothing.
bool parse_form(std::string_view body, const std::string &boundary, std::vector<FormPart> &parts,
                std::string &error);
