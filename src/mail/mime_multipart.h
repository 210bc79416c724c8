// A message with files attached: multipart/mixed, the typed text as its first part exactly as
// the single-part message carries it (type, charset and transfer encoding), then each file in
// base64 with its type from the shared MIME database and its name (beyond plain ASCII: RFC 2231
// in the disposition's filename, and an RFC 2047 copy in the type's name for readers that know
// only that, as common mail programs write them). The files are read and
// encoded straight into the message text, which is sized for them beforehand: a large file is
// held once, as base64, and never also whole as it was read.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "mail/attachment_list.h"

namespace pelorin {

// A boundary that no encoded content can hold ("=_" never begins quoted-printable or base64).
std::string NewMimeBoundary();

// `message` (as ComposeMessage gives it) with `files` attached; `message` itself, unchanged,
// when there are none. Empty text, and `why` naming the file, when a file cannot be read, is
// no regular file any more or has grown past the limit.
std::string WithAttachments(std::string message, const std::vector<AttachedFile>& files,
                            std::string& why, const std::string& boundary = NewMimeBoundary());

// The message's own header says it carries attachments.
bool HasAttachments(std::string_view message);

}  // namespace pelorin
