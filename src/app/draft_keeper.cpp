#include "app/draft_keeper.h"

#include <QTimer>
#include <utility>

#include "app/qstring_text.h"

namespace pelorin {
namespace {

// Long enough that typing does not write at every key, short enough that little is lost.
constexpr int kKeepDelayMs = 1000;

const char* const kRestored = "The text you were writing when the program last ended is back.";
const char* const kOtherCopyKeeps =
    "This text is not kept as a draft: another Pelorin 32 window keeps its own until it is sent "
    "or emptied.";
const char* const kLeftDraftWaits =
    "This text is not kept as a draft: a draft left by another window waits; it comes back when "
    "these fields are empty and the window is opened again.";

}  // namespace

DraftKeeper::DraftKeeper(std::unique_ptr<DraftStore> store, std::function<DraftFields()> fields,
                         QObject* parent)
    : QObject(parent),
      store_(std::move(store)),
      fields_(std::move(fields)),
      timer_(new QTimer(this)) {
  timer_->setSingleShot(true);
  timer_->setInterval(kKeepDelayMs);
  connect(timer_, &QTimer::timeout, this, [this] { Keep(); });
}

std::optional<DraftFields> DraftKeeper::TakeLeftDraft(std::string& status) {
  if (store_->Owned()) return std::nullopt;  // the fields hold this copy's own draft
  std::string why;
  switch (store_->Take(why)) {
    case DraftStore::Claim::HeldElsewhere:
      return std::nullopt;
    case DraftStore::Claim::Failed:
      status = "Drafts cannot be kept: " + why + ".";
      return std::nullopt;
    case DraftStore::Claim::Taken:
      break;
  }
  DraftStore::Left left = store_->Read();
  if (!left.problem.empty()) {
    status = "The draft left when the program last ended cannot be read (" + left.problem +
             "); what you type now takes its place.";
  }
  if (!left.draft || *left.draft == DraftFields{}) {
    store_->Release();
    return std::nullopt;
  }
  status = kRestored;
  return left.draft;
}

void DraftKeeper::Edited() {
  timer_->start();
}

void DraftKeeper::KeepNow() {
  if (timer_->isActive()) Keep();
}

void DraftKeeper::Drop() {
  timer_->stop();
  if (!store_->Owned()) return;
  if (const std::string why = store_->Remove(); !why.empty()) {
    emit Trouble(ToQString("The draft cannot be removed (" + why + ")."));
    return;
  }
  store_->Release();
}

void DraftKeeper::Keep() {
  timer_->stop();
  const DraftFields fields = fields_();
  if (fields == DraftFields{} || fields == untyped_) {  // emptied on purpose, or nothing typed
    Drop();
    return;
  }
  if (!TakeForKeeping()) return;
  if (const std::string why = store_->Keep(fields); !why.empty()) {
    emit Trouble(ToQString("This text cannot be kept as a draft (" + why + ")."));
  }
}

// A draft on disk that this copy does not own was left by a copy that ended: it is not written
// over, but waits to be taken in.
bool DraftKeeper::TakeForKeeping() {
  if (store_->Owned()) return true;
  std::string why;
  switch (store_->Take(why)) {
    case DraftStore::Claim::HeldElsewhere:
      emit Trouble(QString::fromUtf8(kOtherCopyKeeps));
      return false;
    case DraftStore::Claim::Failed:
      emit Trouble(ToQString("This text cannot be kept as a draft (" + why + ")."));
      return false;
    case DraftStore::Claim::Taken:
      break;
  }
  if (store_->Read().draft) {
    store_->Release();
    emit Trouble(QString::fromUtf8(kLeftDraftWaits));
    return false;
  }
  return true;
}

}  // namespace pelorin
