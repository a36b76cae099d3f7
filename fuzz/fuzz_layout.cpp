// Fuzz target: the fixed-width answer layout on a text and a buffer capacity
// chosen by the input. A result that fits ends with the padded F99 field, the
// closing bar and a line feed; one that does not fit leaves the text as it was.
// Input: text \0 capacity (2 bytes).
#include <string>

#include "client/layout.h"
#include "fuzz_common.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  zf::open_null_log();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto parts = zf::split(data, size, 2);
  const std::string& input = zf::part(parts, 0);
  std::size_t capacity = zf::number(zf::part(parts, 1), 2) % 4200;
  if (capacity < input.size()) capacity = input.size();

  zf::ExactText text(input, capacity);
  const bool fits = ZELClient_FixedLayout(text.ref());
  const std::string out = text.str();
  if (!fits) {
    ZF_CHECK(out == input);
    return 0;
  }
  ZF_CHECK(out.size() <= capacity);
  ZF_CHECK(out.size() >= 2 && out.compare(out.size() - 2, 2, "|\n") == 0);
  // The last field written is F99, its value padded and without a bar. (Other
  // fields may be glued to a value by a name met inside it: names are found as
  // plain substrings, so nothing more is promised for arbitrary texts.)
  const std::size_t last = out.rfind("|F99=");
  ZF_CHECK(last != std::string::npos);
  const std::string value = out.substr(last + 5, out.size() - 2 - (last + 5));
  ZF_CHECK(value.size() >= 6 && value.find('|') == std::string::npos);
  return 0;
}
