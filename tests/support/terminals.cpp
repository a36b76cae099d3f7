#include "terminals.h"

#include <cstdio>

namespace zt {

TerminalFleet::TerminalFleet(fs::path root, std::vector<std::string> names, std::string prefix)
    : root_(std::move(root)), names_(std::move(names)), prefix_(std::move(prefix)) {}

TerminalFleet::~TerminalFleet() {
  quit_ = true;
  dropping_ = false;
  for (auto& t : threads_) t.join();
}

void TerminalFleet::start() {
  dropping_ = true;
  for (std::size_t t = 0; t < names_.size(); ++t) threads_.emplace_back([this, t] { run(t); });
}

void TerminalFleet::stop(std::chrono::milliseconds drain) {
  dropping_ = false;
  const auto end = std::chrono::steady_clock::now() + drain;
  wait_until(
      [&] {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& e : exchanges_) {
          if (!e.answered) return false;
        }
        return true;
      },
      std::chrono::duration_cast<std::chrono::milliseconds>(end -
                                                            std::chrono::steady_clock::now()));
  quit_ = true;
  for (auto& t : threads_) t.join();
  threads_.clear();
}

std::vector<Exchange> TerminalFleet::exchanges() {
  std::lock_guard<std::mutex> lock(mutex_);
  return exchanges_;
}

bool TerminalFleet::answer_ready(const fs::path& root, const std::string& terminal) {
  return zt::exists(root / (terminal + "out.txt")) && !zt::exists(root / (terminal + "in.txt")) &&
         !zt::exists(root / (terminal + "in.zel"));
}

std::string TerminalFleet::request_text(const std::string& id) {
  return "|G01=1234|G04=" + id + "|G08=42|G99=000020|";
}

std::string TerminalFleet::field(const std::string& text, const std::string& name) {
  const std::string key = "|" + name + "=";
  const auto at = text.find(key);
  if (at == std::string::npos) return "";
  const auto from = at + key.size();
  const auto bar = text.find('|', from);
  return text.substr(from, bar == std::string::npos ? std::string::npos : bar - from);
}

void TerminalFleet::run(std::size_t t) {
  const std::string& name = names_[t];
  const fs::path in = root_ / (name + "in.txt");
  const fs::path out = root_ / (name + "out.txt");
  for (int n = 0; dropping_ && !quit_; ++n) {
    const std::string id = prefix_ + std::to_string(t) + "-" + std::to_string(n);
    std::size_t slot;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      exchanges_.push_back({name, id, "", false});
      slot = exchanges_.size() - 1;
    }
    // Written in place and closed, as terminals do.
    const std::string text = request_text(id);
    if (FILE* f = std::fopen(in.string().c_str(), "wb")) {
      std::fwrite(text.data(), 1, text.size(), f);
      std::fclose(f);
    }
    while (!quit_ && !answer_ready(root_, name)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (quit_) return;
    const std::string answer = read_file(out);
    std::error_code ec;
    fs::remove(out, ec);
    if (field(answer, "F04") != id) ++mismatches_;
    ++answered_;
    std::lock_guard<std::mutex> lock(mutex_);
    exchanges_[slot].answer = answer;
    exchanges_[slot].answered = true;
  }
}

}  // namespace zt
