// What pressing Send means, apart from the window's controls: the fields checked, composed
// and queued, the settings the send uses, the status text of its outcome, what becomes of
// refused text, and what becomes of the fields. The window reads its controls into
// SendFields, shows what comes back, and asks for a password when told to; it never reaches
// into the workflow for any of this. User-interface thread only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/send_workflow.h"
#include "mail/attachment_list.h"

namespace pelorin {

// The window's fields as the user left them; texts UTF-8.
struct SendFields {
  DraftFields draft;                   // the four fields as typed
  std::string pickedName;              // the address-book entry picked, or empty
  std::vector<std::string> memoLines;  // the body's lines as the memo lays them out
  std::vector<AttachedFile> files;
};

// What the window does once Send was pressed.
struct SendPress {
  enum class Next {
    ShowStatus,    // the send did not start: `status` says why
    ShowProgress,  // the send under way takes the message: its progress text stays shown
    AskPassword,   // the send waits for the password: SendWithPassword goes on
    Started,       // the workflow's progress texts follow
  };
  Next next = Next::ShowStatus;
  std::string status;
  std::string box;        // shown first when not empty
  SendSettings settings;  // for AskPassword: the send that waits for it
};

// What the window does once the send has ended.
struct SendEnd {
  std::string status;
  bool clearSubjectAndBody = false;    // the fields' message went out: its text and files go
  std::optional<DraftFields> restore;  // then refused text comes back into the fields
  bool endsLinkMode = false;           // every recipient has it: the window may close
};

// What the program says once a send that nobody started has ended.
struct UnattendedEnd {
  std::string notice;    // for a desktop notification; empty when nothing new happened
  bool refused = false;  // the notice tells of refused mail: a click shows the outbox
  std::string status;    // for the status line
};

// The status text of a send's outcome, told from the side of the fields' message
// `fieldsMessage`: whether it went, and what became of the rest. `nextTry` ("14:05"), when
// given, says when mail left queued is tried again by itself.
std::string SendOutcomeText(const SendReport& report, std::uint64_t fieldsMessage,
                            const std::string& nextTry = {});

// The settings a send uses, as they are now; `dial` false leaves the line alone.
SendSettings SettingsForSend(bool dial = true);

class SendController {
 public:
  explicit SendController(SendWorkflow& workflow) : workflow_(workflow) {}

  // Takes in what an earlier run or another copy left queued; a status that says how many
  // messages wait, or empty text when none does.
  std::string TakeInQueued();

  // Send was pressed with these fields.
  SendPress Press(const SendFields& fields);
  // The password the send in `press.settings` waited for, or nothing when the user gave none;
  // a status to show when the send does not start, else empty text.
  std::string SendWithPassword(SendSettings settings, std::optional<std::string> password);

  // The user took the queued message `id` back out of the outbox: the fields no longer hold
  // a queued text, whatever they show.
  void Withdrawn(std::uint64_t id);

  // The send has ended with `report`, the fields being `now`.
  SendEnd Ended(const SendReport& report, const SendFields& now, const std::string& nextTry = {});
  // A send nobody started has ended with `report`: refused mail is kept in the refused folder,
  // never put into the fields. `nextTry` as for SendOutcomeText.
  UnattendedEnd EndedUnattended(const SendReport& report, const std::string& nextTry);

  // The user chose to trust this certificate for the server of the send under way; a text
  // for a box when it cannot be kept, else empty text.
  std::string KeepTrustedCertificate(const std::string& fingerprint) const;

  // The fields hold the message last queued from them, unchanged.
  bool FieldsHoldQueuedDraft(const SendFields& fields) const;
  // The fields hold a subject, a body or files that are not queued.
  bool FieldsHoldUnqueuedDraft(const SendFields& fields) const;

 private:
  std::optional<SendPress> QueueFields(const SendFields& fields);
  void Start(const SendSettings& settings);
  std::string Recover(const OutboxMessage& message, bool& fieldsEmpty,
                      std::optional<DraftFields>& restore);
  std::string KeptAsFile(const OutboxMessage& message, const std::string& kept);

  SendWorkflow& workflow_;
  // The message last queued from the fields, and the fields as they were then: while they
  // still hold it, Send does not queue it again, and the end of the send may empty them.
  std::uint64_t fieldsMessage_ = 0;
  std::optional<DraftFields> queuedDraft_;
  std::vector<AttachedFile> queuedFiles_;
  void RememberStart(const SendSettings& settings);
  // The settings of the send last started, without its password: what the outcome applies to,
  // whatever the settings are by the time it ends.
  SendSettings startedWith_;
};

}  // namespace pelorin
