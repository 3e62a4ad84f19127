#include "linux/last_words.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <mutex>
#include <vector>

namespace tessarin::linux_port {
namespace {

struct Words {
  int fd;
  std::string text;
};

constexpr std::size_t kSlots = static_cast<std::size_t>(LastWordsSlot::kCount);
std::atomic<const Words*> g_slots[kSlots];

// Texts once published stay alive until the program ends: a handler may
// be writing one while the next replaces it.
std::mutex g_keepMutex;
std::vector<std::unique_ptr<Words>>& Kept() {
  static auto* kept = new std::vector<std::unique_ptr<Words>>();  // outlives every static destructor
  return *kept;
}

void WriteAll(int fd, const char* p, std::size_t n) {
  while (n > 0) {
    const ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return;
    p += w;
    n -= static_cast<std::size_t>(w);
  }
}

}  // namespace

void SetLastWords(LastWordsSlot slot, int fd, const std::string& text) {
  auto words = std::make_unique<Words>(Words{fd, text});
  const Words* published = words.get();
  {
    std::lock_guard lock(g_keepMutex);
    Kept().push_back(std::move(words));
  }
  g_slots[static_cast<std::size_t>(slot)].store(published, std::memory_order_release);
}

void WriteLastWords() {
  const int saved = errno;
  for (auto& slot : g_slots) {
    const Words* w = slot.exchange(nullptr, std::memory_order_acquire);
    if (w != nullptr && !w->text.empty()) WriteAll(w->fd, w->text.data(), w->text.size());
  }
  errno = saved;
}

}  // namespace tessarin::linux_port
