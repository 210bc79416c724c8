// The text the window holds, kept on disk while the user writes it ($XDG_STATE_HOME/pelorin32/
// draft), so that a kill, a crash or the power going loses no more than the last moment of it.
// The four fields alone are kept, nothing secret. The file is a first line that names the format,
// then each field as a length field (outbox/length_fields.h).
//
// One running copy of the program owns the draft at a time, by a lock on ".draft.lock" beside
// it: the copy whose fields hold the draft. Another copy neither takes the draft in nor writes
// over it meanwhile; once the owner has ended, the draft is free for the next copy to take in.
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

  std::string Path() const { return stateDirectory_ + "/draft"; }

  enum class Claim { Taken, HeldElsewhere, Failed };
  // Makes this copy the draft's owner; `why` says what failed.
  Claim Take(std::string& why);
  // Leaves the draft to whichever copy takes it next.
  void Release();
  bool Owned() const { return lockFd_ >= 0; }

  struct Left {
    std::optional<DraftFields> draft;
    std::string problem;  // why the file there cannot be trusted, or empty text
  };
  // The draft on disk, if there is one.
  Left Read() const;
  // Puts `draft` in place of what was kept, whole or not at all; why not, or empty text.
  std::string Keep(const DraftFields& draft);
  // Why the draft could not be removed, or empty text.
  std::string Remove();

 private:
  std::string stateDirectory_;
  int lockFd_ = -1;  // open while this copy owns the draft
};

}  // namespace pelorin
