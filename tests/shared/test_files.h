// Files and trees of files on the test machine's own file system.
#pragma once

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace tessarin::test {

// A file's bytes; empty when it cannot be read.
inline std::string ReadFileBytes(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// Writes a file's whole contents, its folders made first.
inline void WriteFileBytes(const std::filesystem::path& file, const std::string& bytes) {
  if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << bytes;
}

// Files of a tree: relative path -> contents ("/" ends a folder).
using Tree = std::map<std::string, std::string>;

inline void WriteTree(const std::filesystem::path& root, const Tree& tree) {
  for (const auto& [path, content] : tree) {
    if (!path.empty() && path.back() == '/') {
      std::filesystem::create_directories(root / path);
      continue;
    }
    WriteFileBytes(root / path, content);
  }
}

inline Tree ReadTree(const std::filesystem::path& root) {
  Tree tree;
  for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
    const std::string rel = std::filesystem::relative(e.path(), root).generic_string();
    if (e.is_directory())
      tree[rel + "/"] = "";
    else
      tree[rel] = ReadFileBytes(e.path());
  }
  return tree;
}

}  // namespace tessarin::test
