// Time to read a 3,000-character text through the normaliser, per language:
// the cost the front end adds before the first token.
#include "text/language_rules.h"
#include "text/normalizer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

int main() {
  // A paragraph with something to read in most sentences, repeated to
  // 3,000 characters.
  const std::string paragraph =
      "On 3/14/2024 Mr. Smith paid $1,234.50 for 3 tickets, e.g. the 2nd row. "
      "The train left at 8:30 am, 25°C and 50% humidity, after 120 km at 90 km/h. "
      "Call +1 555 123 4567 or write to 221 Baker St. before the 21st. "
      "Louis XIV reigned from 1643, and in 1990 the price rose by 3.5%. ";
  std::string text;
  while (text.size() < 3000) text += paragraph;
  text.resize(3000);
  while ((static_cast<unsigned char>(text.back()) & 0xC0) == 0x80) text.pop_back();

  std::printf("normalising %zu characters (English-style text, every table)\n", text.size());
  std::printf("%-6s %10s %10s %8s\n", "lang", "first ms", "median ms", "out chars");
  std::istringstream codes(normalizer_languages());
  for (std::string code; codes >> code;) {
    using clock = std::chrono::steady_clock;
    std::vector<double> times;
    std::string out;
    for (int run = 0; run < 9; run++) {
      const auto start = clock::now();
      out = normalize_text(text, code);
      times.push_back(std::chrono::duration<double, std::milli>(clock::now() - start).count());
    }
    const double first = times.front();
    std::sort(times.begin(), times.end());
    std::printf("%-6s %10.2f %10.2f %8zu\n", code.c_str(), first, times[times.size() / 2],
                out.size());
  }
  return 0;
}
