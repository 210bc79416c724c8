// The text the window holds, kept on disk while the user writes it ($XDG_STATE_HOME/pelorin32/
// draft), so that a kill, a crash or the power going loses no more than the last moment of it.
// The four fields alone are kept, nothing secret. The file is a first line that names the format,
// then each field as a length field (outbox/length_fields.h).
//
// Each running copy whose fields hold typed text owns one draft file, by a lock beside it: the
// first "draft" (".draft.lock"), others "draft-2", "draft-3"... (".draft-2.lock"...). A copy
// neither takes in nor writes over a draft another copy owns; once the owner has ended, the
// draft is free for the next copy to take in.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "transport/outbox.h"

namespace pelorin {

inline constexpr std::string_view kDraftFileHeader = "Pelorin 32 draft 1\n";
// Far above any text typed into the window: a larger file is taken as damaged, unread.
inline constexpr std::size_t kDraftFileSizeLimit = std::size_t{16} << 20;

std::string DraftFileBytes(const DraftFields& draft);
// The fields that `bytes` hold, or why they are not a draft (`why` is set then).
std::optional<DraftFields> ParseDraftFile(std::string_view bytes, std::string& why);

class DraftStore {
 public:
  // `stateDirectory`: the program's own state directory, which the outbox uses too.
  explicit DraftStore(std::string stateDirectory);
  ~DraftStore();
  DraftStore(const DraftStore&) = delete;
  DraftStore& operator=(const DraftStore&) = delete;

  // The file of the draft this copy owns, or would own first.
  std::string Path() const;

  struct Left {
    std::optional<DraftFields> draft;
    std::string problem;  // why the file there cannot be trusted, or empty text
  };
  enum class Claim { Taken, NoneLeft, Failed };
  // Makes this copy, when it owns none, the owner of the oldest draft that holds text and no
  // running copy owns; `left` then holds it. Unreadable drafts are passed over, the first one's
  // problem kept in `left`. `why` says what failed.
  Claim TakeLeft(Left& left, std::string& why);
  // Makes this copy, when it owns none, the owner of a draft file that holds no text yet; `why`
  // says what failed.
  bool TakeFree(std::string& why);
  // Leaves the draft to whichever copy takes it next.
  void Release();
  bool Owned() const { return lockFd_ >= 0; }

  // The draft this copy owns on disk, if there is one.
  Left Read() const;
  // Puts `draft` in place of what was kept, whole or not at all; why not, or empty text.
  std::string Keep(const DraftFields& draft);
  // Why the draft could not be removed, or empty text.
  std::string Remove();

 private:
  enum class Lock { Taken, HeldElsewhere, Failed };
  Lock TakeNumber(int number, std::string& why);

  std::string stateDirectory_;
  int number_ = 1;   // of the draft file this copy owns, or would own first
  int lockFd_ = -1;  // open while this copy owns the draft
};

}  // namespace pelorin
