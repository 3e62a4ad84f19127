#include "win32/install/win32_files.h"

#include <aclapi.h>
#include <sddl.h>
#include <shellapi.h>

#include <cctype>
#include <cstdio>
#include <functional>
#include <initializer_list>
#include <memory>

#include "card/entry_names.h"

namespace tessarin {
namespace {

// Closes a handle when it goes out of scope.
class ScopedHandle {
 public:
  explicit ScopedHandle(HANDLE h) : h_(h) {}
  ~ScopedHandle() {
    if (ok()) CloseHandle(h_);
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  bool ok() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
  HANDLE get() const { return h_; }

 private:
  HANDLE h_;
};

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// One entry found below a tree's root.
struct Listed {
  std::string relative;  // separated by backslashes
  DWORD attributes = 0;
  std::uint64_t size = 0;
};

enum class WalkEnd { Complete, Unreadable, UnsafeName };

// Every file and folder below root, each folder before what it holds. A
// name that could not be one component of a path ends the walk before it is
// joined to anything.
WalkEnd WalkTree(const std::string& root, std::vector<Listed>& out) {
  std::function<WalkEnd(const std::string&, const std::string&)> walk = [&](const std::string& folder,
                                                                            const std::string& relative) {
    const std::string pattern = folder + "\\*";
    if (pattern.size() >= MAX_PATH) return WalkEnd::Unreadable;
    WIN32_FIND_DATAA found;
    const HANDLE search = FindFirstFileA(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return WalkEnd::Unreadable;
    WalkEnd end = WalkEnd::Complete;
    do {
      const std::string name = found.cFileName;
      if (name == "." || name == "..") continue;
      if (!WhyNameUnsafe(name).empty()) {
        end = WalkEnd::UnsafeName;
        break;
      }
      Listed entry;
      entry.relative = relative.empty() ? name : relative + "\\" + name;
      entry.attributes = found.dwFileAttributes;
      const bool directory = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
      entry.size = directory ? 0 : (std::uint64_t{found.nFileSizeHigh} << 32) | found.nFileSizeLow;
      out.push_back(entry);
      if (directory) end = walk(folder + "\\" + name, entry.relative);
    } while (end == WalkEnd::Complete && FindNextFileA(search, &found));
    const DWORD error = end == WalkEnd::Complete ? GetLastError() : ERROR_NO_MORE_FILES;
    FindClose(search);
    if (end == WalkEnd::Complete && error != ERROR_NO_MORE_FILES) end = WalkEnd::Unreadable;
    return end;
  };
  const WalkEnd end = walk(root, "");
  if (end == WalkEnd::UnsafeName) SetLastError(ERROR_INVALID_NAME);
  return end;
}

// The folder that holds path: "C:\a" for "C:\a\b.txt", "C:\" for "C:\a".
std::string ParentOf(const std::string& path) {
  const std::size_t cut = path.find_last_of("\\/");
  if (cut == std::string::npos) return ".";
  if (cut == 0 || (cut == 2 && path[1] == ':')) return path.substr(0, cut + 1);
  return path.substr(0, cut);
}

// FlushFileBuffers on a folder's own handle (it needs write access to it).
bool FlushFolderHandle(const std::string& folder) {
  const ScopedHandle h(CreateFileA(folder.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  return h.ok() && FlushFileBuffers(h.get()) != 0;
}

// FlushFileBuffers on the volume that holds path: every file and folder of
// the volume written through, its metadata committed. Needs an
// administrator; a share or a system without volume handles fails.
bool FlushVolumeOf(const std::string& path) {
  char mount[MAX_PATH + 1] = {};
  if (GetVolumePathNameA(path.c_str(), mount, sizeof mount) == 0) return false;
  std::vector<std::string> devices;
  char guid[MAX_PATH + 1] = {};
  if (GetVolumeNameForVolumeMountPointA(mount, guid, sizeof guid) != 0) {
    // The volume itself is its name without the closing separator.
    std::string name = guid;
    if (!name.empty() && name.back() == '\\') name.pop_back();
    devices.push_back(name);
  }
  if (std::isalpha(static_cast<unsigned char>(mount[0])) && mount[1] == ':') {
    devices.push_back(std::string("\\\\.\\") + mount[0] + ':');
  }
  for (const std::string& device : devices) {
    const ScopedHandle h(CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     nullptr, OPEN_EXISTING, 0, nullptr));
    if (h.ok() && FlushFileBuffers(h.get()) != 0) return true;
  }
  return false;
}

// Makes the entries of the folders durable: the volume's flush where it can
// be had, else every folder's own.
bool FlushFolders(const std::string& anyPath, const std::vector<std::string>& folders) {
  if (FlushVolumeOf(anyPath)) return true;
  for (const std::string& folder : folders) {
    if (!FlushFolderHandle(folder)) return false;
  }
  return true;
}

// Opens a file for writing and flushes it. A read-only file has the
// attribute lifted for the open only: the handle keeps its access, and the
// attribute is back before the flush writes both down.
bool FlushFile(const std::string& path, DWORD attributes) {
  const auto open = [&] {
    return CreateFileA(path.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  };
  HANDLE raw = open();
  if (raw == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED &&
      (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    if (SetFileAttributesA(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY) == 0) return false;
    raw = open();
    if (SetFileAttributesA(path.c_str(), attributes) == 0) {
      if (raw != INVALID_HANDLE_VALUE) CloseHandle(raw);
      return false;
    }
  }
  const ScopedHandle h(raw);
  return h.ok() && FlushFileBuffers(h.get()) != 0;
}

// A path in a buffer of its own, closed by the two NULs the shell wants.
std::string DoubleNulList(const std::string& path) {
  std::string list = path;
  list.push_back('\0');
  list.push_back('\0');
  return list;
}

// A SID of the system's own, built from its authority and parts.
std::vector<BYTE> WellKnownSid(SID_IDENTIFIER_AUTHORITY authority, std::initializer_list<DWORD> parts) {
  std::vector<BYTE> sid(GetSidLengthRequired(static_cast<UCHAR>(parts.size())));
  InitializeSid(sid.data(), &authority, static_cast<BYTE>(parts.size()));
  DWORD index = 0;
  for (const DWORD part : parts) *GetSidSubAuthority(sid.data(), index++) = part;
  return sid;
}

std::vector<BYTE> AdministratorsSid() {
  return WellKnownSid(SECURITY_NT_AUTHORITY, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS});
}
std::vector<BYTE> LocalSystemSid() { return WellKnownSid(SECURITY_NT_AUTHORITY, {SECURITY_LOCAL_SYSTEM_RID}); }
// Stands for whoever owns the object: trusted as far as the owner is.
std::vector<BYTE> OwnerRightsSid() {
  return WellKnownSid(SECURITY_CREATOR_SID_AUTHORITY, {SECURITY_CREATOR_OWNER_RIGHTS_RID});
}
// Only meaningful in entries passed on to new objects.
std::vector<BYTE> CreatorOwnerSid() {
  return WellKnownSid(SECURITY_CREATOR_SID_AUTHORITY, {SECURITY_CREATOR_OWNER_RID});
}

// The user the program runs as (the process token's user); empty when the
// token cannot be read.
std::vector<BYTE> CurrentUserSid() {
  HANDLE raw = nullptr;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw) == 0) return {};
  const ScopedHandle token(raw);
  DWORD size = 0;
  GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  if (size == 0) return {};
  std::vector<DWORD> buffer(size / sizeof(DWORD) + 1);  // aligned for the structure
  if (GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size) == 0) return {};
  const PSID sid = reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid;
  if (IsValidSid(sid) == 0) return {};
  const auto* bytes = static_cast<const BYTE*>(sid);
  return std::vector<BYTE>(bytes, bytes + GetLengthSid(sid));
}

bool SameSid(PSID sid, const std::vector<BYTE>& other) {
  return !other.empty() && EqualSid(sid, const_cast<BYTE*>(other.data())) != 0;
}

// A SID as a message names it: the account's name where the system knows
// it, and its string form.
std::string DescribeSid(PSID sid) {
  std::string text;
  char name[256] = {};
  char domain[256] = {};
  DWORD nameSize = sizeof name;
  DWORD domainSize = sizeof domain;
  SID_NAME_USE use;
  if (LookupAccountSidA(nullptr, sid, name, &nameSize, domain, &domainSize, &use) != 0) {
    text = domain[0] != '\0' ? std::string(domain) + "\\" + name : std::string(name);
  }
  char* string = nullptr;
  if (ConvertSidToStringSidA(sid, &string) != 0 && string != nullptr) {
    text += text.empty() ? std::string(string) : " (" + std::string(string) + ")";
    LocalFree(string);
  }
  return text.empty() ? "an unknown account" : text;
}

// Frees what the system allocated with LocalAlloc.
struct LocalFreer {
  void operator()(void* memory) const { LocalFree(memory); }
};

// Rights on a folder that let their holder change what it holds or who may.
constexpr ACCESS_MASK kChangeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES |
                                      FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                                      GENERIC_ALL | MAXIMUM_ALLOWED;

std::string ErrorText(const char* what, DWORD error) {
  return std::string(what) + " (error " + std::to_string(error) + ")";
}

}  // namespace

Win32Files::~Win32Files() {
  for (const auto& [path, hold] : holds_) CloseHandle(hold);
}

bool Win32Files::Exists(const std::string& path) {
  return !path.empty() && GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

PathPresence Win32Files::Probe(const std::string& path) {
  if (path.empty()) return PathPresence::Absent;
  if (GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) return PathPresence::Present;
  switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return PathPresence::Absent;
    default:  // ERROR_UNRECOGNIZED_VOLUME, ERROR_NOT_READY, ERROR_FILE_CORRUPT, ERROR_CRC, ...
      return PathPresence::Unreadable;
  }
}

std::optional<std::vector<std::string>> Win32Files::ListFolders(const std::string& folder, const std::string& prefix) {
  std::string pattern = folder;
  if (!pattern.empty() && pattern.back() != '\\') pattern += '\\';
  pattern += prefix + "*";
  if (pattern.size() >= MAX_PATH) return std::nullopt;
  std::vector<std::string> names;
  WIN32_FIND_DATAA found;
  const HANDLE search = FindFirstFileA(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) {
    if (GetLastError() == ERROR_FILE_NOT_FOUND) return names;
    return std::nullopt;
  }
  do {
    const std::string name = found.cFileName;
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && WhyNameUnsafe(name).empty()) {
      names.push_back(name);
    }
  } while (FindNextFileA(search, &found));
  const DWORD error = GetLastError();
  FindClose(search);
  if (error != ERROR_NO_MORE_FILES) return std::nullopt;
  return names;
}

std::optional<std::string> Win32Files::ReadTextFile(const std::string& path, std::size_t maxBytes) {
  const HANDLE h =
      CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return std::nullopt;
  std::string text;
  char buffer[4096];
  DWORD got = 0;
  bool ok = true;
  while ((ok = ::ReadFile(h, buffer, sizeof buffer, &got, nullptr) != 0) && got > 0) {
    text.append(buffer, got);
    if (text.size() > maxBytes) {
      ok = false;
      break;
    }
  }
  CloseHandle(h);
  if (!ok) return std::nullopt;
  return text;
}

bool Win32Files::WriteTextFile(const std::string& path, const std::string& text) {
  const std::string temp = path + kWriteTextSuffix;
  if (temp.size() >= MAX_PATH) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  const HANDLE h = CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  bool ok = WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) != 0 &&
            written == text.size() && FlushFileBuffers(h) != 0;
  ok = CloseHandle(h) != 0 && ok;
  // The rename itself is written through before MoveFileExA returns.
  if (ok) ok = MoveFileExA(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
  if (!ok) {
    const DWORD error = GetLastError();
    DeleteFileA(temp.c_str());
    SetLastError(error);
    return false;
  }
  // Systems that take the write-through flag lightly still flush a folder
  // through its handle; where a folder cannot be flushed that way, the
  // flag is what makes the rename durable.
  FlushFolderHandle(ParentOf(path));
  return true;
}

bool Win32Files::RemoveFile(const std::string& path) {
  if (DeleteFileA(path.c_str()) == 0) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
  }
  const std::string parent = ParentOf(path);
  return FlushFolders(parent, {parent});
}

bool Win32Files::FlushTree(const std::string& path) {
  std::string root = path;
  while (root.size() > 3 && (root.back() == '\\' || root.back() == '/')) root.pop_back();
  const DWORD attributes = GetFileAttributesA(root.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    const std::string parent = ParentOf(root);
    return FlushFile(root, attributes) && FlushFolders(root, {parent});
  }
  std::vector<Listed> entries;
  if (WalkTree(root, entries) != WalkEnd::Complete) return false;
  std::vector<std::string> folders;
  for (const Listed& entry : entries) {
    const std::string full = root + "\\" + entry.relative;
    if ((entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      folders.push_back(full);
    } else if (!FlushFile(full, entry.attributes)) {
      return false;
    }
  }
  // The root's own entries, and its entry in the folder that holds it.
  folders.push_back(root);
  if (const std::string parent = ParentOf(root); parent != root) folders.push_back(parent);
  return FlushFolders(root, folders);
}

bool Win32Files::IsPrivateFolder(const std::string& path, std::string* why) {
  const auto refuse = [why](const std::string& reason) {
    if (why != nullptr) *why = reason;
    return false;
  };
  // The link itself, not what it points to, so that the checks below are
  // about the very object the answer is given for.
  const ScopedHandle h(CreateFileA(path.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!h.ok()) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return refuse("it is not there");
    return refuse(ErrorText("it cannot be opened", error));
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileInformationByHandle(h.get(), &info) == 0)
    return refuse(ErrorText("it cannot be examined", GetLastError()));
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return refuse("it is not a folder");
  // Both answers count: a system that follows the link on the open still
  // names it one by its path.
  const DWORD byPath = GetFileAttributesA(path.c_str());
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
      (byPath != INVALID_FILE_ATTRIBUTES && (byPath & FILE_ATTRIBUTE_REPARSE_POINT) != 0)) {
    return refuse("it is a link (a junction or symbolic link), not a folder of its own");
  }

  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD read = GetSecurityInfo(h.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                     &owner, nullptr, &dacl, nullptr, &descriptor);
  if (read != ERROR_SUCCESS) return refuse(ErrorText("its owner cannot be read", read));
  const std::unique_ptr<void, LocalFreer> descriptorFreed(descriptor);

  const std::vector<BYTE> user = CurrentUserSid();
  if (user.empty()) return refuse(ErrorText("the user running the program cannot be told", GetLastError()));
  const std::vector<BYTE> administrators = AdministratorsSid();
  const std::vector<BYTE> system = LocalSystemSid();
  const std::vector<BYTE> ownerRights = OwnerRightsSid();
  const std::vector<BYTE> creatorOwner = CreatorOwnerSid();
  if (owner == nullptr || IsValidSid(owner) == 0) return refuse("it has no owner (its volume keeps none)");
  if (!SameSid(owner, user) && !SameSid(owner, administrators)) {
    return refuse("it belongs to " + DescribeSid(owner) + ", not to the user running the program");
  }
  if (dacl == nullptr) return refuse("it has no access list, so everyone may change it");
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (GetAce(dacl, i, &ace) == 0) return refuse(ErrorText("its access list cannot be read", GetLastError()));
    const auto* header = static_cast<const ACE_HEADER*>(ace);
    // Entries only passed on to what is made inside, and refusals, give no
    // one a right on the folder.
    if ((header->AceFlags & INHERIT_ONLY_ACE) != 0 || header->AceType == ACCESS_DENIED_ACE_TYPE) continue;
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) {
      return refuse("its access list holds an entry of a kind this program does not read (type " +
                    std::to_string(header->AceType) + ")");
    }
    const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
    const PSID sid = const_cast<DWORD*>(&allowed->SidStart);
    if ((allowed->Mask & kChangeRights) == 0) continue;
    if (SameSid(sid, user) || SameSid(sid, administrators) || SameSid(sid, system) || SameSid(sid, ownerRights) ||
        SameSid(sid, creatorOwner) || EqualSid(sid, owner) != 0) {
      continue;
    }
    return refuse(DescribeSid(sid) + " may change it");
  }
  return true;
}

bool Win32Files::HoldFolder(const std::string& path) {
  if (holds_.count(path) != 0) return false;
  BY_HANDLE_FILE_INFORMATION info;
  {
    const ScopedHandle folder(CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                          FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!folder.ok() || GetFileInformationByHandle(folder.get(), &info) == 0) return false;
  }
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    SetLastError(ERROR_DIRECTORY);
    return false;
  }
  // In the global namespace, so that a restore in another session (another
  // user logged on at the same PC) sees the hold too.
  char id[48];
  std::snprintf(id, sizeof id, "Tessarin.Hold.%08lX.%08lX%08lX", static_cast<unsigned long>(info.dwVolumeSerialNumber),
                static_cast<unsigned long>(info.nFileIndexHigh), static_cast<unsigned long>(info.nFileIndexLow));
  const std::string global = std::string("Global\\") + id;
  HANDLE hold = CreateMutexA(nullptr, FALSE, global.c_str());
  if (hold == nullptr && GetLastError() == ERROR_ACCESS_DENIED) {
    // Another user's hold, or a program without the right to name objects
    // for every session (one not run as an administrator): the name's
    // existence tells them apart. Without that right the hold is this
    // session's only.
    if (const HANDLE existing = OpenMutexA(SYNCHRONIZE, FALSE, global.c_str())) {
      CloseHandle(existing);
      SetLastError(ERROR_SHARING_VIOLATION);
      return false;
    }
    if (GetLastError() != ERROR_FILE_NOT_FOUND) return false;
    hold = CreateMutexA(nullptr, FALSE, (std::string("Local\\") + id).c_str());
  }
  if (hold == nullptr) return false;
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(hold);
    SetLastError(ERROR_SHARING_VIOLATION);
    return false;
  }
  holds_.emplace(path, hold);
  return true;
}

void Win32Files::ReleaseFolder(const std::string& path) {
  const auto found = holds_.find(path);
  if (found == holds_.end()) return;
  CloseHandle(found->second);
  holds_.erase(found);
}

bool Win32Files::ReadFile(const std::string& path, const std::function<void(const std::uint8_t*, std::size_t)>& piece) {
  const ScopedHandle h(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!h.ok()) return false;
  std::vector<std::uint8_t> buffer(64 * 1024);
  for (;;) {
    DWORD got = 0;
    if (::ReadFile(h.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) == 0) return false;
    if (got == 0) return true;
    piece(buffer.data(), got);
  }
}

std::optional<std::string> Win32Files::TempPath() {
  char buffer[MAX_PATH] = {};
  const DWORD length = GetTempPathA(sizeof buffer, buffer);
  if (length == 0 || length >= sizeof buffer) return std::nullopt;
  return std::string(buffer, length);
}

std::optional<std::string> Win32Files::TempFileName(const std::string& directory, const std::string& prefix,
                                                    unsigned unique) {
  char buffer[MAX_PATH] = {};
  if (GetTempFileNameA(directory.c_str(), prefix.c_str(), unique, buffer) == 0) return std::nullopt;
  return std::string(buffer);
}

bool Win32Files::MakeDirectory(const std::string& path) {
  const std::vector<BYTE> user = CurrentUserSid();
  if (user.empty()) return false;
  const std::vector<BYTE> administrators = AdministratorsSid();
  const std::vector<BYTE> system = LocalSystemSid();
  DWORD size = sizeof(ACL);
  for (const auto* sid : {&user, &administrators, &system}) {
    size += sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + static_cast<DWORD>(sid->size());
  }
  std::vector<DWORD> aclBuffer(size / sizeof(DWORD) + 1);  // aligned as an ACL must be
  auto* acl = reinterpret_cast<PACL>(aclBuffer.data());
  if (InitializeAcl(acl, size, ACL_REVISION) == 0) return false;
  for (const auto* sid : {&user, &administrators, &system}) {
    if (AddAccessAllowedAceEx(acl, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, FILE_ALL_ACCESS,
                              const_cast<BYTE*>(sid->data())) == 0) {
      return false;
    }
  }
  SECURITY_DESCRIPTOR descriptor;
  if (InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) == 0 ||
      SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE) == 0 ||
      SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED) == 0) {
    return false;
  }
  SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
  return CreateDirectoryA(path.c_str(), &attributes) != 0;
}

bool Win32Files::CopyFolderTree(const std::string& source, const std::string& target) {
  const std::string from = source + "\\*";
  if (from.size() > kMaxCopyPath || target.size() > kMaxCopyPath) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  const DWORD attributes = GetFileAttributesA(source.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    // The shell reports nothing to copy as a success.
    SetLastError(ERROR_PATH_NOT_FOUND);
    return false;
  }
  // Every name is checked here: the shell joins them by itself.
  std::vector<Listed> entries;
  if (WalkTree(source, entries) != WalkEnd::Complete) return false;
  // The shell copies nothing from an empty folder and then makes no target
  // either; the copy of an empty project is an empty folder all the same.
  if (entries.empty()) {
    return CreateDirectoryA(target.c_str(), nullptr) != 0 || GetLastError() == ERROR_ALREADY_EXISTS;
  }
  const std::string fromList = DoubleNulList(from);
  const std::string toList = DoubleNulList(target);
  SHFILEOPSTRUCTA op{};
  op.hwnd = nullptr;
  op.wFunc = FO_COPY;
  op.pFrom = fromList.c_str();
  op.pTo = toList.c_str();
  op.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOCONFIRMMKDIR;
  const int result = SHFileOperationA(&op);
  return result == 0 && !op.fAnyOperationsAborted;
}

bool Win32Files::DeleteFolderTree(const std::string& path, std::uint16_t flags) {
  if (path.empty()) return false;
  if (path.size() > kMaxDeletePath) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return false;
  const std::string fromList = DoubleNulList(path);
  SHFILEOPSTRUCTA op{};
  op.hwnd = nullptr;
  op.wFunc = FO_DELETE;
  op.pFrom = fromList.c_str();
  op.pTo = nullptr;
  op.fFlags = flags;
  op.lpszProgressTitle = "";
  const int result = SHFileOperationA(&op);
  return result == 0 && !op.fAnyOperationsAborted;
}

std::optional<std::vector<TreeEntry>> Win32Files::ListTree(const std::string& root) {
  std::vector<Listed> listed;
  if (WalkTree(root, listed) != WalkEnd::Complete) return std::nullopt;
  std::vector<TreeEntry> entries;
  entries.reserve(listed.size());
  for (const Listed& entry : listed) {
    entries.push_back({entry.relative, (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0, entry.size});
  }
  return entries;
}

bool Win32Files::SetAttributes(const std::string& path, std::uint32_t attributes) {
  return SetFileAttributesA(path.c_str(), attributes) != 0;
}

std::string Win32Files::CurrentDirectory() {
  // Sized to the directory, so a deep working directory is never cut.
  DWORD size = MAX_PATH;
  for (int tries = 0; tries < 4; ++tries) {
    std::string buffer(size, '\0');
    const DWORD length = GetCurrentDirectoryA(size, buffer.data());
    if (length == 0) return {};
    if (length < size) {
      buffer.resize(length);
      return buffer;
    }
    size = length + 1;
  }
  return {};
}

bool Win32Files::CanOpenForReading(const std::string& path) {
  const HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  CloseHandle(h);
  return true;
}

}  // namespace tessarin
