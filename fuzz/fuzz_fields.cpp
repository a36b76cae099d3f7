// Fuzz target: the five field operations on texts and capacities chosen by the
// input, each checked against a plain model of what it must do.
// Input: source \0 name \0 value \0 capacities (3 x 2 bytes) \0 second name.
#include <string>

#include "fuzz_common.h"
#include "tran/fields.h"

namespace {

// Where the model finds name's value: the text between the first '=' after the
// first occurrence and the next '|'. npos when there is none.
struct Found {
  std::size_t from = std::string::npos;
  std::size_t length = 0;
};

Found find_value(const std::string& source, const std::string& name) {
  Found f;
  const std::size_t at = source.find(name);
  if (at == std::string::npos) return f;
  const std::size_t eq = source.find('=', at);
  if (eq == std::string::npos) return f;
  const std::size_t bar = source.find('|', eq + 1);
  if (bar == std::string::npos) return f;
  f.from = eq + 1;
  f.length = bar - eq - 1;
  return f;
}

void check_get(const std::string& source, const std::string& name, std::size_t capacity) {
  const auto src = zf::cstr(source);
  const auto nm = zf::cstr(name);
  zf::ExactText dest(std::string(capacity, '#'), capacity);
  const std::string before = dest.str();
  zel::TextRef ref = dest.ref();
  char* r = ZEL_TranGetField(src.get(), nm.get(), &ref);

  if (source.empty() || name.empty() || source.size() > kGetFieldSourceMax) {
    ZF_CHECK(r == nullptr);
    ZF_CHECK(dest.str() == before);
    return;
  }
  const Found f = find_value(source, name);
  if (f.from != std::string::npos && f.length > capacity) {
    ZF_CHECK(r == nullptr);  // refused whole, never cut
    ZF_CHECK(dest.str() == before);
  } else if (f.from != std::string::npos) {
    ZF_CHECK(r == dest.c_str());
    ZF_CHECK(dest.str() == source.substr(f.from, f.length));
  } else {
    ZF_CHECK(r == dest.c_str());
    ZF_CHECK(dest.str() == before);
  }

  // Without a destination: the shared buffer, which may also be the next source.
  char* shared = ZEL_TranGetField(src.get(), nm.get(), nullptr);
  if (f.from != std::string::npos && f.length > kSharedValueCapacity) {
    ZF_CHECK(shared == nullptr);
    return;
  }
  ZF_CHECK(shared != nullptr);
  ZF_CHECK(std::string(shared) ==
           (f.from == std::string::npos ? std::string() : source.substr(f.from, f.length)));
  ZEL_TranGetField(shared, nm.get(), nullptr);
}

void check_has(const std::string& source, const std::string& name) {
  const auto src = zf::cstr(source);
  const auto nm = zf::cstr(name);
  ZF_CHECK(ZEL_TranHasField(src.get(), nm.get()) == (source.find(name) != std::string::npos));
}

void check_del(const std::string& source, const std::string& name, std::size_t extra) {
  zf::ExactText text(source, source.size() + extra % 8);
  const auto nm = zf::cstr(name);
  const int r = ZEL_TranDelField(text.ref(), nm.get());
  if (source.empty() || name.empty()) {
    ZF_CHECK(r == -1);
    ZF_CHECK(text.str() == source);
    return;
  }
  ZF_CHECK(r == 0);
  std::string expected = source;
  const std::size_t at = source.find(name);
  const std::size_t bar = at == std::string::npos ? at : source.find('|', at);
  if (bar != std::string::npos) expected.erase(at, bar - at + 1);
  ZF_CHECK(text.str() == expected);
}

void check_put_and_end(const std::string& source, const std::string& name, const std::string& value,
                       std::size_t capacity) {
  if (source.size() > capacity) capacity = source.size();
  zf::ExactText text(source, capacity);
  const auto nm = zf::cstr(name);
  const auto val = zf::cstr(value);
  const int r = ZEL_TranPutfield(text.ref(), nm.get(), val.get());
  std::string expected = source;
  if (!name.empty()) {
    if (expected.empty() || expected.back() != '|') expected += '|';
    expected += name + "=" + value;
  }
  if (name.empty() || expected.size() > capacity) {
    ZF_CHECK(r == -1);
    ZF_CHECK(text.str() == source);
    expected = source;
  } else {
    ZF_CHECK(r == 0);
    ZF_CHECK(text.str() == expected);
  }

  const int e = ZEL_TranEnd(text.ref());
  if (expected.empty()) {
    ZF_CHECK(e == 0 && text.str().empty());
  } else if (expected.size() == capacity) {
    ZF_CHECK(e == -1 && text.str() == expected);
  } else {
    ZF_CHECK(e == 0 && text.str() == expected + "|");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  zf::open_null_log();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto parts = zf::split(data, size, 5);
  const std::string& source = zf::part(parts, 0);
  const std::string& name = zf::part(parts, 1);
  const std::string& value = zf::part(parts, 2);
  const std::string& caps = zf::part(parts, 3);
  std::string name2 = zf::part(parts, 4);
  name2 = name2.substr(0, name2.find('\0'));

  check_get(source, name, zf::number(caps, 2) % 1100);
  check_get(source, name2, zf::number(caps.substr(caps.size() > 2 ? 2 : caps.size()), 1));
  check_has(source, name);
  check_del(source, name, zf::number(caps, 1));
  check_put_and_end(source, name, value,
                    zf::number(caps.substr(caps.size() > 4 ? 4 : caps.size()), 2) % 1100);
  return 0;
}
