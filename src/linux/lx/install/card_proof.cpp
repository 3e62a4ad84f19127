#include "lx/install/card_proof.h"

#include <algorithm>
#include <cstdio>
#include <unordered_map>

#include "lx/card/card_fat.h"
#include "lx/install/counted_bytes.h"

namespace tessarin::linux_port {
namespace {

class DigestSink final : public fat::ByteSink {
 public:
  Failure Write(const std::uint8_t* bytes, std::size_t size) override {
    digest_.Add(bytes, size);
    return {};
  }
  const ContentDigest& digest() const { return digest_; }

 private:
  ContentDigest digest_;
};

std::string LastPart(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// "/Project/a" and "Project/a/" as "Project/a".
std::string Trimmed(std::string path) {
  path.erase(0, std::min(path.find_first_not_of('/'), path.size()));
  while (!path.empty() && path.back() == '/') path.pop_back();
  return path;
}

std::string Hex(std::uint8_t v) {
  char text[8];
  std::snprintf(text, sizeof text, "%02X", v);
  return text;
}

}  // namespace

std::vector<std::string> ProveEntries(fat::Volume& volume, const std::string& folder,
                                      const std::vector<WrittenEntry>& writtenEntries, StepProgress* progress) {
  std::vector<std::string> problems;
  // The folder's tree in one walk, by the name FAT compares: a lookup per
  // entry would read a folder of thousands of names as often.
  const std::string root = Trimmed(folder);
  std::unordered_map<std::string, fat::Entry> onCard;
  const fat::Status walked = volume.Walk(root, [&](const std::string& path, const fat::Entry& e) {
    onCard.emplace(fat::FoldName(root.empty() ? path : root + "/" + path), e);
    return true;
  });
  if (!walked) {
    problems.push_back((root.empty() ? std::string("the card") : root) + ": " + Explain(walked));
    return problems;
  }
  std::optional<ByteCount> count;
  if (progress != nullptr) {
    std::uint64_t total = 0;
    for (const WrittenEntry& w : writtenEntries)
      if (!w.folder) total += w.size;
    count.emplace(*progress, total);
  }
  for (const WrittenEntry& w : writtenEntries) {
    // A file not read back counts as done: the bar ends at the whole.
    struct Done {
      ByteCount* count;
      std::uint64_t left;
      Done(ByteCount* c, std::uint64_t l) : count(c), left(l) {}
      Done(const Done&) = delete;
      Done& operator=(const Done&) = delete;
      ~Done() {
        if (count != nullptr) count->Add(left);
      }
    } done(count ? &*count : nullptr, w.folder ? 0 : w.size);
    // Named as the operator reads card paths: "Project/a.txt".
    const std::string path = Trimmed(w.path);
    const auto found = onCard.find(fat::FoldName(path));
    if (found == onCard.end()) {
      problems.push_back(path + ": missing on the card");
      continue;
    }
    const fat::Entry& e = found->second;
    if (e.name != LastPart(path)) {
      problems.push_back(path + ": named " + e.name + " on the card");
      continue;
    }
    if (e.IsFolder() != w.folder) {
      problems.push_back(path + (w.folder ? ": a file on the card, not a folder" : ": a folder on the card"));
      continue;
    }
    if (w.shortName && e.shortName != *w.shortName) {
      problems.push_back(path + ": short name " + e.shortName + " on the card, " + *w.shortName + " was written");
    }
    if (w.attributes && CardAttributes(e.attributes) != *w.attributes) {
      problems.push_back(path + ": attributes " + Hex(CardAttributes(e.attributes)) + " on the card, " +
                         Hex(*w.attributes) + " were written");
    }
    if (w.folder) continue;
    if (e.size != w.size) {
      problems.push_back(path + ": " + std::to_string(e.size) + " bytes on the card, " + std::to_string(w.size) +
                         " were written");
      continue;
    }
    DigestSink digest;
    const fat::Status read = [&] {
      if (!count) return volume.ReadFile(e, digest);
      CountedSink counted(digest, *count);
      return volume.ReadFile(e, counted);
    }();
    if (read) done.left = 0;
    if (!read) {
      problems.push_back(path + ": " + Explain(read));
      continue;
    }
    if (digest.digest().Value() != w.digest) problems.push_back(path + ": its contents differ from what was written");
  }
  return problems;
}

}  // namespace tessarin::linux_port
