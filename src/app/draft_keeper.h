// Keeps what is typed into the window as the draft on disk: a second after the last edit, at
// once when the window is closed or hidden, and no more once the fields' message is queued or
// the fields are emptied. A copy owns a draft file only while its fields hold one; each copy
// keeps its text in a file of its own, and a draft that a copy left when it ended comes back in
// the next copy that takes it in. User-interface thread only.
#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "outbox/draft_store.h"

class QTimer;

namespace pelorin {

class DraftKeeper : public QObject {
  Q_OBJECT
 public:
  // `fields` reads the window's four fields as they are.
  DraftKeeper(std::unique_ptr<DraftStore> store, std::function<DraftFields()> fields,
              QObject* parent);

  // The oldest draft a copy left when it ended, now this copy's; nothing when every one is
  // another running copy's, or this copy owns one already. `status` says what became of it.
  std::optional<DraftFields> TakeLeftDraft(std::string& status);
  // The fields as they are before anything is typed: a link's fields. Back at these, or empty,
  // the fields hold no draft.
  void SetUntyped(DraftFields fields) { untyped_ = std::move(fields); }
  // Lets go of the draft TakeLeftDraft gave, untouched, for a later start to take in.
  void GiveBack() { store_->Release(); }
  // The user changed the fields.
  void Edited();
  // Keeps the fields now if they changed since they were last kept.
  void KeepNow();
  // The fields' text was queued, or emptied by the program after a send: the draft goes.
  void Drop();

 signals:
  // Why what is typed is not kept, for the status line.
  void Trouble(const QString& text);

 private:
  void Keep();
  bool TakeForKeeping();

  std::unique_ptr<DraftStore> store_;
  std::function<DraftFields()> fields_;
  QTimer* timer_;  // runs while an edit waits to be kept
  DraftFields untyped_;
};

}  // namespace pelorin
