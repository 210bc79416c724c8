#include "app/draft_keeper.h"

#include <QTimer>
#include <utility>

#include "app/qstring_text.h"

namespace pelorin {
namespace {

// Long enough that typing does not write at every key, short enough that little is lost.
constexpr int kKeepDelayMs = 1000;

const char* const kRestored = "The text you were writing when the program last ended is back.";

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
  DraftStore::Left left;
  std::string why;
  switch (store_->TakeLeft(left, why)) {
    case DraftStore::Claim::Failed:
      status = "Drafts cannot be kept: " + why + ".";
      return std::nullopt;
    case DraftStore::Claim::NoneLeft:
      if (!left.problem.empty()) {
        status = "The draft left when the program last ended cannot be read (" + left.problem +
                 "); what you type now takes its place.";
      }
      return std::nullopt;
    case DraftStore::Claim::Taken:
      break;
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

// A draft on disk that this copy does not own is another window's, or was left by a copy that
// ended and waits to be taken in: this text goes into a file of its own.
bool DraftKeeper::TakeForKeeping() {
  std::string why;
  if (store_->TakeFree(why)) return true;
  emit Trouble(ToQString("This text cannot be kept as a draft (" + why + ")."));
  return false;
}

}  // namespace pelorin
